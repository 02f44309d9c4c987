#include "app/radio_status.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>

#include "engine/engine.h"

namespace tw {

namespace {

std::atomic<RadioStatusTarget*> g_target{nullptr};

template <typename Fn>
void OnUiThread(Fn fn) {
  RadioStatusTarget* target = g_target.load();
  if (!target) return;
  QObject* context = target->StatusContext();
  if (QThread::currentThread() == context->thread()) {
    fn(target);
  } else {
    QMetaObject::invokeMethod(
        context, [target, fn] { fn(target); }, Qt::QueuedConnection);
  }
}

}  // namespace

void SetRadioStatusTarget(RadioStatusTarget* target) { g_target.store(target); }

void SendRadioStatus(int code, intptr_t value) {
  RadioStatusTarget* target = g_target.load();
  if (!target) return;
  const int senderError = BASS_ErrorGetCode();
  QObject* context = target->StatusContext();
  if (QThread::currentThread() == context->thread()) {
    target->RadioStatus(code, value, senderError);
    return;
  }
  QMetaObject::invokeMethod(
      context,
      [target, code, value, senderError] { target->RadioStatus(code, value, senderError); },
      Qt::BlockingQueuedConnection);
}

void StartMonitorTimer(int periodMs) {
  OnUiThread([periodMs](RadioStatusTarget* target) { target->StartMonitor(periodMs); });
}

void StopMonitorTimer() {
  OnUiThread([](RadioStatusTarget* target) { target->StopMonitor(); });
}

}  // namespace tw
