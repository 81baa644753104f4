// The station's records: records.db (SQLite), records.jsonl and
// junit/<batch>.xml, written from the engine's events by three writers
// (sqliteWriter, jsonlWriter, junitWriter) behind one sink.
//
// The engine calls onEvent under its own lock, from the threads that drive
// the gateways: the sink only copies the event into its queue and returns,
// so no gateway's next test waits for a disk. The sink's writer thread takes
// whatever is queued as one group: it keeps one book of the runs in progress
// (the stored run id, the gateway as it becomes known, the results), hands
// each event's changes to the writers in a set order (records.db first,
// then records.jsonl, then the JUnit file) and, at the group's end, has
// them write: the database commits the whole group in one transaction, so
// sixteen results that finished together cost one sync, not sixteen in a
// row. A result is in the database before its line is, and the writer
// never waits on purpose: a group is as large as what came while the last
// one was written.
//
// Write errors in the middle of a batch (disk full, the database locked for
// longer than the busy wait, a directory gone): each writer says so once
// per kind of record, keeps the unwritten records in its backlog and tries
// them again, in order, with the next group, every second while they wait
// and once more when the records close. Testing goes on; the sink never
// throws into the engine and never ends the station.
#include "records/records.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "records/backlog.h"
#include "records/book.h"
#include "records/files.h"
#include "records/jsonlWriter.h"
#include "records/junitWriter.h"
#include "records/sqliteWriter.h"

namespace station {

std::function<void(int)> seams::sqliteCommitted;

namespace {

using records::RecordsWriter;

// While a writer keeps records it could not write, the writer thread tries
// them again this often even when no event comes (the person is away, the
// other station's lock has gone).
constexpr auto kRetryEvery = std::chrono::seconds(1);

class Sink final : public RecordsSink {
public:
    explicit Sink(RecordsWarning warn) : warnings_(std::move(warn)) {}

    // Opens the three writers, the database first (it refuses a newer or a
    // foreign file), in the order they record; then the writer thread.
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
        thread_ = std::thread([this] { writeLoop(); });
        return true;
    }

    ~Sink() override
    {
        if (thread_.joinable()) {
            {
                std::lock_guard lock(mutex_);
                closing_ = true;
            }
            wake_.notify_all();
            thread_.join(); // it writes what is queued first
        }
        // The last try, on this thread now that the writer's has ended: it
        // may wait the full busy time, and writes the JUnit file of a batch
        // the engine never closed.
        size_t left = 0;
        for (auto &w : writers_) {
            w->closing();
            w->write();
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
        {
            std::lock_guard lock(mutex_);
            try {
                queue_.push_back(event);
            } catch (const std::exception &) {
                ++lost_; // out of memory: said by the writer thread, never thrown into the engine
            }
            ++told_;
        }
        wake_.notify_one();
    }

    void flush() override
    {
        std::unique_lock lock(mutex_);
        const uint64_t upTo = told_;
        done_.wait(lock, [&] { return written_ >= upTo; });
    }

private:
    void writeLoop()
    {
        bool waiting = false; // a writer keeps records it could not write
        std::unique_lock lock(mutex_);
        for (;;) {
            auto due = [this] { return !queue_.empty() || closing_; };
            if (waiting) {
                // Woken by an event or not, the backlog is tried again.
                (void)wake_.wait_for(lock, kRetryEvery, due);
            } else {
                wake_.wait(lock, due);
            }
            if (queue_.empty() && closing_) {
                return;
            }
            std::vector<Event> group;
            group.swap(queue_);
            const uint64_t upTo = told_;
            const uint64_t lost = lost_;
            lost_ = 0;
            lock.unlock();
            if (lost != 0) {
                warnings_.say("internal", "records: " + std::to_string(lost) + " events lost (out of memory)");
            }
            waiting = writeGroup(group);
            lock.lock();
            written_ = upTo;
            done_.notify_all();
        }
    }

    // One group: each event into the book and to the writers in order, then
    // each writer writes the group. True when something waits for a later
    // try.
    bool writeGroup(const std::vector<Event> &group)
    {
        size_t left = 0;
        try {
            std::vector<std::string> ended;
            for (const Event &event : group) {
                const records::RecordsUpdate update = book_.update(event);
                for (auto &w : writers_) {
                    w->record(update);
                }
                if (update.batch != nullptr) {
                    ended.push_back(event.batchId);
                }
            }
            for (auto &w : writers_) {
                w->write();
                left += w->backlog();
            }
            for (const std::string &batch : ended) {
                book_.forget(batch);
            }
        } catch (const std::exception &e) {
            // Out of memory and the like: said, never thrown into the engine.
            warnings_.say("internal", std::string("records: ") + e.what());
        }
        return left != 0;
    }

    // The engine's side and the writer thread's meeting point.
    std::mutex mutex_;
    std::condition_variable wake_; // an event came, or the sink closes
    std::condition_variable done_; // a group is written
    std::vector<Event> queue_;
    uint64_t told_ = 0;    // events taken in
    uint64_t written_ = 0; // of them, written (or tried) by the writer thread
    uint64_t lost_ = 0;
    bool closing_ = false;

    // The writer thread's alone (and the destructor's once it has ended).
    records::Warnings warnings_;
    records::RunBook book_;
    std::vector<std::unique_ptr<RecordsWriter>> writers_; // records.db, records.jsonl, junit/
    std::thread thread_;
};

} // namespace

std::unique_ptr<RecordsSink> openRecords(const std::string &dir, std::string &error, RecordsWarning warn)
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
    auto sink = std::make_unique<Sink>(std::move(warn));
    if (!sink->open(dir, error)) {
        return nullptr;
    }
    return sink;
}

} // namespace station
