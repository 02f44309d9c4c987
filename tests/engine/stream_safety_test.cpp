// The player's callbacks block (a synchronous status send, a modal error box):
// that must never stall the audio output, never deadlock a free on another
// thread, and no callback of a stream may start after its free returned.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

// A callback body that blocks until the test releases it, or for a while.
class Blocker {
 public:
  explicit Blocker(milliseconds sleep = milliseconds(0)) : sleep_(sleep) {}

  void Enter() {
    std::unique_lock lock(mutex_);
    ++entered_;
    ++running_;
    changed_.notify_all();
    if (armed_) {
      if (sleep_.count() > 0) {
        changed_.wait_for(lock, sleep_, [&] { return released_; });
      } else {
        changed_.wait(lock, [&] { return released_; });
      }
    }
    --running_;
    changed_.notify_all();
  }

  void Arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  int entered() const {
    std::lock_guard lock(mutex_);
    return entered_;
  }
  int running() const {
    std::lock_guard lock(mutex_);
    return running_;
  }
  bool WaitRunning() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return running_ > 0; });
  }
  bool WaitIdle() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return running_ == 0; });
  }

 private:
  const milliseconds sleep_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool released_ = false;
  int entered_ = 0;
  int running_ = 0;
};

void BlockingSync(HSYNC, DWORD, DWORD, void* user) { static_cast<Blocker*>(user)->Enter(); }

void BlockingStatus(const void*, DWORD length, void* user) {
  if (length > 0) static_cast<Blocker*>(user)->Enter();
}

// Runs call on another thread; true when it returned within the bound. On a
// hang the caller's cleanup (releasing the callback) must end it, so the thread
// is joined by the returned guard.
class Async {
 public:
  explicit Async(std::function<void()> call)
      : thread_([this, call = std::move(call)] {
          call();
          done_ = true;
        }) {}
  ~Async() { thread_.join(); }
  bool Finished(milliseconds timeout = milliseconds(2000)) {
    return WaitFor([&] { return done_.load(); }, timeout);
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A station whose title changes every few hundred milliseconds, forever.
void ServeChattyStation(RadioServer& server) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3);
  route.loopBody = true;
  route.bytesPerSecond = 16000;
  route.burstBytes = 16000;
  route.metaint = 1000;
  for (std::size_t i = 0; i < 200; ++i)
    route.titles.emplace_back(i * 4000, "StreamTitle='Song " + std::to_string(i) + "';");
  server.Serve("/live", route);
}

// Catches a blocked sync callback stalling the output or deadlocking a free
// called from another thread, and callbacks that start after the free returned
// (titles keep coming while the callback blocks, so events are queued).
TEST_F(StreamTest, BlockedSyncNeverStallsOutputOrFree) {
  struct Case {
    const char* name;
    bool freeAll;       // BASS_Free instead of BASS_StreamFree
    milliseconds hold;  // 0: until released
  } cases[] = {
      {"stream free, blocked until released", false, milliseconds(0)},
      {"engine free, blocked until released", true, milliseconds(0)},
      {"stream free, callback sleeps 2 s", false, milliseconds(2000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The previous case may have freed the engine.
    if (BASS_GetDevice() == static_cast<DWORD>(-1)) {
      ASSERT_TRUE(BASS_Init(NoSoundDevice(), kRate, 0, nullptr, nullptr));
    }
    ServeChattyStation(server);
    Blocker blocker(c.hold);
    blocker.Arm();
    const HSTREAM stream = Open("/live");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, &BlockingSync, &blocker), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    ASSERT_TRUE(blocker.WaitRunning());

    // Half a second of output while the callback blocks, and it is the tone.
    const uint64_t frames = FramesRendered();
    EXPECT_TRUE(WaitFor([&] { return FramesRendered() > frames + kRate / 2; }));
    EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_PLAYING));

    int enteredAtFree = 0;
    {
      Async freeing([&] {
        EXPECT_TRUE(c.freeAll ? BASS_Free() : BASS_StreamFree(stream));
        enteredAtFree = blocker.entered();
      });
      const bool prompt = freeing.Finished();
      EXPECT_TRUE(prompt) << "the free waited for the callback";
      EXPECT_EQ(blocker.running(), 1) << "the callback should still be blocked";
      // One that sleeps ends by itself.
      if (c.hold.count() == 0) blocker.Release();
    }
    ASSERT_TRUE(blocker.WaitIdle());
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(blocker.entered(), enteredAtFree) << "a callback started after the free returned";
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
  }
}

// Catches a blocked status callback (run on the network thread) deadlocking a
// free from another thread, or being called again after the free returned.
TEST_F(StreamTest, BlockedStatusCallbackNeverDeadlocksFree) {
  ServeChattyStation(server);
  Blocker blocker;
  const HSTREAM stream = Open("/live", BASS_STREAM_STATUS, &BlockingStatus, &blocker);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  blocker.Arm();
  ASSERT_TRUE(blocker.WaitRunning());
  const uint64_t frames = FramesRendered();
  EXPECT_TRUE(WaitFor([&] { return FramesRendered() > frames + kRate / 4; }));

  int enteredAtFree = 0;
  {
    Async freeing([&] {
      EXPECT_TRUE(BASS_StreamFree(stream));
      enteredAtFree = blocker.entered();
    });
    EXPECT_TRUE(freeing.Finished()) << "the free waited for the status callback";
    EXPECT_EQ(blocker.running(), 1);
    blocker.Release();
  }
  ASSERT_TRUE(blocker.WaitIdle());
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(blocker.entered(), enteredAtFree) << "a status call came after the free returned";
}

// Catches BASS_StreamCreateURL staying blocked (or crashing) when the engine is
// freed from another thread while the server has not answered yet.
TEST_F(StreamTest, FreeWhileConnectingEndsTheCreate) {
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3);
  route.delayMs = 4000;
  server.Serve("/slow", route);
  std::atomic<HSTREAM> created{1};
  std::atomic<int> error{BASS_OK};
  {
    Async creating([&] {
      created = Open("/slow");
      error = BASS_ErrorGetCode();
    });
    ASSERT_TRUE(server.WaitForRequests("/slow", 1));
    EXPECT_TRUE(BASS_Free());
    EXPECT_TRUE(creating.Finished()) << "the create kept waiting for the server";
  }
  EXPECT_EQ(created.load(), 0u);
  EXPECT_NE(error.load(), BASS_OK);
}

struct SelfFree {
  std::atomic<int> calls{0};
  std::atomic<int> returned{0};
  std::atomic<BOOL> result{0};
  bool engine = false;  // BASS_Free rather than BASS_StreamFree
};

void FreeFromSync(HSYNC, DWORD channel, DWORD, void* user) {
  auto* state = static_cast<SelfFree*>(user);
  ++state->calls;
  state->result = state->engine ? BASS_Free() : BASS_StreamFree(channel);
  ++state->returned;
}

// Catches a free called from the stream's own callback deadlocking (the
// callback thread waiting for itself) or letting further callbacks through.
TEST_F(StreamTest, FreeFromInsideItsOwnCallback) {
  for (bool engine : {false, true}) {
    SCOPED_TRACE(engine ? "BASS_Free" : "BASS_StreamFree");
    if (engine && BASS_GetDevice() == static_cast<DWORD>(-1)) {
      ASSERT_TRUE(BASS_Init(NoSoundDevice(), kRate, 0, nullptr, nullptr));
    }
    ServeChattyStation(server);
    SelfFree state;
    state.engine = engine;
    const HSTREAM stream = Open("/live");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, &FreeFromSync, &state), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    ASSERT_TRUE(WaitFor([&] { return state.returned.load() > 0; }));
    EXPECT_TRUE(state.result.load());
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(state.calls.load(), 1);
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
  }
}

}  // namespace
}  // namespace tw::engine::test
