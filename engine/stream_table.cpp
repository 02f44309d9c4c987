#include "engine/stream_table.h"

#include <mutex>
#include <unordered_map>

#include "engine/internal.h"
#include "engine/mixer.h"

namespace tw::engine {

namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<Stream>> streams;  // guarded by mutex
  DWORD next = 0x10000;                                        // guarded by mutex
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: stream threads outlive exit
  return *table;
}

}  // namespace

std::shared_ptr<Stream> CreateStreamEntry(std::string url, DWORD flags, DOWNLOADPROC* status,
                                          void* user, int freq) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  DWORD handle = table.next++;
  if (table.next == 0) table.next = 0x10000;  // after four billion streams
  auto stream = std::make_shared<Stream>(handle, std::move(url), flags, status, user, freq);
  table.streams[handle] = stream;
  return stream;
}

std::shared_ptr<Stream> FindStream(DWORD handle) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  auto it = table.streams.find(handle);
  return it == table.streams.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Stream>> AllStreams() {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  std::vector<std::shared_ptr<Stream>> all;
  for (auto& [handle, stream] : table.streams) all.push_back(stream);
  return all;
}

bool FreeStream(DWORD handle) {
  std::shared_ptr<Stream> stream;
  {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    auto it = table.streams.find(handle);
    if (it == table.streams.end()) return false;
    stream = std::move(it->second);
    table.streams.erase(it);
  }
  // Killed first: a BASS_ChannelPlay racing with this free then finds it dead
  // and does not attach it (see AttachToOutput).
  stream->Kill();
  DetachFromOutput(stream.get());
  return true;
}

}  // namespace tw::engine
