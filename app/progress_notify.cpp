#include "app/progress_notify.h"

#include <QCoreApplication>

// Registered during static initialisation, before any page or worker exists.
const QEvent::Type g_nProgressNotifyMsg = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace quill {

void CProgressNotifier::SetTarget(QObject* target) {
  std::lock_guard lock(m_mutex);
  m_pTarget = target;
}

void CProgressNotifier::ClearTarget(QObject* target) {
  std::lock_guard lock(m_mutex);
  if (m_pTarget == target) m_pTarget = nullptr;
}

QObject* CProgressNotifier::Target() const {
  std::lock_guard lock(m_mutex);
  return m_pTarget;
}

void CProgressNotifier::Notify(const Progress& progress) {
  m_kept.Notify(progress);
  // The idle step's event comes with the outcome.
  if (progress.phase != PhaseIdle) Post();
}

void CProgressNotifier::Finished(const Outcome& outcome) {
  m_kept.Finished(outcome);
  Post();
  if (m_onFinished) m_onFinished(outcome);
}

void CProgressNotifier::Post() {
  // Posting under the lock keeps the target alive: it is cleared under the same lock before
  // it is destroyed.
  std::lock_guard lock(m_mutex);
  if (m_pTarget) QCoreApplication::postEvent(m_pTarget, new QEvent(g_nProgressNotifyMsg));
}

}  // namespace quill
