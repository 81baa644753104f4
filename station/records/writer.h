// What each writer of the records (SQLite, JSON Lines, JUnit) is to the
// records' sink: it records what each event of a group changed, writes the
// group at its end, keeps what it could not write in its backlog and tries
// it again with the next group.
#pragma once

#include <cstddef>

#include "records/book.h"

namespace station::records {

class RecordsWriter {
public:
    virtual ~RecordsWriter() = default;
    // Takes in the records of one event of the group, in order. The
    // database writes them into the group's open transaction at once, so
    // that the run id it settles is known to the writers after it.
    virtual void record(const RecordsUpdate &update) = 0;
    // The group ends: what it recorded and the backlog before it are
    // written (the database commits them in one transaction).
    virtual void write() = 0;
    // The records close: the last try may wait as long as any.
    virtual void closing() {}
    // What is still not written.
    virtual size_t backlog() const = 0;
};

} // namespace station::records
