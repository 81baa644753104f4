// The station's records: records.db (SQLite), records.jsonl and
// junit/<batch>.xml, written from the engine's events by three writers
// (sqliteWriter, jsonlWriter, junitWriter) behind one sink.
//
// The sink keeps one book of the runs in progress (the stored run id, the
// gateway as it becomes known, the results) and hands each event's changes
// to the writers in a set order: records.db first, then records.jsonl, then
// the JUnit file, so a result is in the database before its line is.
//
// Write errors in the middle of a batch (disk full, the database locked for
// longer than the busy wait, a directory gone): each writer says so once
// per kind of record, keeps the unwritten records in its backlog and tries
// them again, in order, with every following event and once more when the
// records close. Testing goes on; the sink never throws into the engine and
// never ends the station.
#include "records/records.h"

#include <exception>
#include <mutex>
#include <vector>

#include "records/backlog.h"
#include "records/book.h"
#include "records/files.h"
#include "records/jsonlWriter.h"
#include "records/junitWriter.h"
#include "records/sqliteWriter.h"

namespace station {

namespace {

using records::RecordsWriter;

class RecordsSink final : public EventSink {
public:
    explicit RecordsSink(RecordsWarning warn) : warnings_(std::move(warn)) {}

    // Opens the three writers, the database first (it refuses a newer or a
    // foreign file), in the order they record.
    bool open(const std::string &dir, std::string &error)
    {
        auto jsonl = records::openJsonlWriter(dir, warnings_, error);
        if (!jsonl) {
            return false;
        }
        auto db = records::openSqliteWriter(dir, warnings_, error);
        if (!db) {
            return false;
        }
        writers_.push_back(std::move(db));
        writers_.push_back(std::move(jsonl));
        writers_.push_back(records::openJunitWriter(dir, book_, warnings_));
        return true;
    }

    ~RecordsSink() override
    {
        std::lock_guard lock(mutex_);
        size_t left = 0;
        for (auto &w : writers_) {
            w->closing();
            w->retry();
            left += w->backlog();
        }
        if (left != 0) {
            warnings_.say("closing", "records: " + std::to_string(writers_[0]->backlog()) + " database writes, " +
                                         std::to_string(writers_[1]->backlog()) + " records.jsonl lines and " +
                                         std::to_string(writers_[2]->backlog()) + " JUnit files could not be written");
        }
    }

    void onEvent(const Event &event) override
    {
        std::lock_guard lock(mutex_);
        try {
            const records::RecordsUpdate update = book_.update(event);
            for (auto &w : writers_) {
                w->record(update);
            }
            if (update.batch != nullptr) {
                book_.forget(event.batchId);
            }
            for (auto &w : writers_) {
                w->retry();
            }
        } catch (const std::exception &e) {
            // Out of memory and the like: said, never thrown into the engine.
            warnings_.say("internal", std::string("records: ") + e.what());
        }
    }

private:
    std::mutex mutex_;
    records::Warnings warnings_;
    records::RunBook book_;
    std::vector<std::unique_ptr<RecordsWriter>> writers_; // records.db, records.jsonl, junit/
};

} // namespace

std::unique_ptr<EventSink> openRecords(const std::string &dir, std::string &error, RecordsWarning warn)
{
    if (dir.empty()) {
        error = "the records directory is empty";
        return nullptr;
    }
    if (!records::makeDir(dir, error) || !records::makeDir(dir + "/junit", error) || !records::probeDir(dir, error) ||
        !records::probeDir(dir + "/junit", error)) {
        return nullptr;
    }
    records::removeAbandonedScratch(dir);
    records::removeAbandonedScratch(dir + "/junit");
    auto sink = std::make_unique<RecordsSink>(std::move(warn));
    if (!sink->open(dir, error)) {
        return nullptr;
    }
    return sink;
}

} // namespace station
