// What each writer of the records (SQLite, JSON Lines, JUnit) is to the
// records' sink: it records what an event changed, keeps what it could not
// write in its backlog and tries it again.
#pragma once

#include <cstddef>

#include "records/book.h"

namespace station::records {

class RecordsWriter {
public:
    virtual ~RecordsWriter() = default;
    // Queues the records of one event and writes what it can, in order.
    virtual void record(const RecordsUpdate &update) = 0;
    // Tries the backlog again.
    virtual void retry() = 0;
    // The records close: the last try may wait as long as any.
    virtual void closing() {}
    // What is still not written.
    virtual size_t backlog() const = 0;
};

} // namespace station::records
