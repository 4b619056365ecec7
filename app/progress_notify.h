// The progress notification of the wizard: the worker thread tells a progress page that its
// operation has moved on by keeping the value and posting the page an event without data, of a
// type registered once when the program starts. The page shows the latest value kept, however
// many of its events are still queued.
#pragma once

#include <QEvent>
#include <functional>
#include <mutex>

#include "link/comm_thread.h"

class QObject;

// The event type of the progress notification.
extern const QEvent::Type g_nProgressNotifyMsg;

namespace quill {

// Keeps the latest progress step and the outcome of the operation it observes, and posts a
// g_nProgressNotifyMsg event to its target for every step once the step is kept; the idle step's
// event is posted once the outcome is kept, so the page that sees it finds the operation ended.
// Notify and Finished run on the worker thread; the target may be changed or cleared on the
// user-interface thread at any time, and once SetTarget has returned no event is posted to the
// old target any more.
class CProgressNotifier final : public ProgressNotifier {
 public:
  void SetTarget(QObject* target);
  // Clears the target if it is target (a page that is destroyed).
  void ClearTarget(QObject* target);
  QObject* Target() const;
  // What was kept of the operation observed; Reset forgets it before the next one starts.
  ProgressSeen Seen() const { return m_kept.Seen(); }
  void Reset() { m_kept.Reset(); }
  void Notify(const Progress& progress) override;
  void Finished(const Outcome& outcome) override;
  // Called on the worker thread with the outcome of every operation the worker ran, once the
  // outcome is kept and its event posted; set it before the first operation starts.
  void SetOnFinished(std::function<void(const Outcome&)> onFinished) {
    m_onFinished = std::move(onFinished);
  }

 private:
  void Post();

  mutable std::mutex m_mutex;
  QObject* m_pTarget = nullptr;
  LatestProgress m_kept;
  std::function<void(const Outcome&)> m_onFinished;
};

}  // namespace quill
