// Unsaved edits of the open page: a page registers a test for its own
// edits; the interface asks before anything would drop them.
import { t } from './i18n.js';
import { ask } from './ui.js';

const tests = new Set();

export function trackEdits(test) {
  tests.add(test);
  return () => tests.delete(test);
}

export function hasUnsavedEdits() {
  for (const test of tests) if (test()) return true;
  return false;
}

// Resolves true when nothing is unsaved or the person chose to discard it.
export async function confirmDiscard() {
  if (!hasUnsavedEdits()) return true;
  const ok = await ask({ title: t('leave.title'), message: t('leave.msg'), confirm: t('leave.discard'), danger: true });
  return !!ok;
}
