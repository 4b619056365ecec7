// The progress notification of the wizard: the worker thread tells a progress page that the
// communication object has new progress by posting it an event without data, of a type
// registered once when the program starts.
#pragma once

#include <QEvent>
#include <functional>
#include <mutex>

#include "link/comm_thread.h"

class QObject;

// The event type of the progress notification.
extern const QEvent::Type g_nProgressNotifyMsg;

namespace quill {

// Posts a g_nProgressNotifyMsg event to its target for every progress step. Notify runs on the
// worker thread; the target may be changed or cleared on the user-interface thread at any time,
// and once SetTarget has returned no event is posted to the old target any more.
class CProgressNotifier final : public ProgressNotifier {
 public:
  void SetTarget(QObject* target);
  // Clears the target if it is target (a page that is destroyed).
  void ClearTarget(QObject* target);
  QObject* Target() const;
  void Notify(const Progress& progress) override;
  // Called on the worker thread after the last step of every operation the worker ran; set it
  // before the first operation starts.
  void SetOnFinished(std::function<void()> onFinished) { m_onFinished = std::move(onFinished); }
  void Finished(const Outcome&) override {
    if (m_onFinished) m_onFinished();
  }

 private:
  mutable std::mutex m_mutex;
  QObject* m_pTarget = nullptr;
  std::function<void()> m_onFinished;
};

}  // namespace quill
