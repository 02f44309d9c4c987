#include "app/radio_status.h"

#include <QMetaObject>
#include <QThread>
#include <atomic>

#include "app/Unit1.h"
#include "engine/engine.h"

namespace tw {

namespace {
std::atomic<TForm1*> g_target{nullptr};
}

void SetRadioStatusTarget(TForm1* form) { g_target.store(form); }

void SendRadioStatus(int code, intptr_t value) {
  TForm1* form = g_target.load();
  if (!form) return;
  const int senderError = BASS_ErrorGetCode();
  if (QThread::currentThread() == form->thread()) {
    form->RadioStatus(code, value, senderError);
    return;
  }
  QMetaObject::invokeMethod(
      form, [form, code, value, senderError] { form->RadioStatus(code, value, senderError); },
      Qt::BlockingQueuedConnection);
}

}  // namespace tw

namespace tw {

namespace {

template <typename Fn>
void OnUiThread(Fn fn) {
  TForm1* form = g_target.load();
  if (!form) return;
  if (QThread::currentThread() == form->thread()) {
    fn(form);
  } else {
    QMetaObject::invokeMethod(
        form, [form, fn] { fn(form); }, Qt::QueuedConnection);
  }
}

}  // namespace

void StartMonitorTimer(int periodMs) {
  OnUiThread([periodMs](TForm1* form) { form->StartMonitor(periodMs); });
}

void StopMonitorTimer() {
  OnUiThread([](TForm1* form) { form->StopMonitor(); });
}

}  // namespace tw
