#include "app/AppContext.h"

namespace telegate {

TAppContext::TAppContext(const IClock& clock, INotifier& notifier)
    : Clock(clock),
      Notifier(notifier),
      MessBuff(kJournalSize, 0),
      ErrorReporter(notifier),
      TypeIdentList(notifier),
      Prmn{} {}

}  // namespace telegate
