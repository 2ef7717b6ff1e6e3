#include "FlrJournalSource.h"

// Out of line so the vtable and type information live in one place (libflr).
FlrJournalSource::~FlrJournalSource() = default;
