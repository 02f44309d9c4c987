#include "app/radio_status.h"

#include <atomic>

#include <QMetaObject>
#include <QThread>

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
