// The writer of records.jsonl (see jsonlWriter.h). A line that cannot be
// written (disk full, the directory gone) stays in the backlog and is
// written, in order, with a later event.
#include "records/jsonlWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jansson.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "records/files.h"
#include "records/json.h"
#include "records/text.h"

namespace station::records {

namespace {

class JsonlWriter final : public RecordsWriter {
public:
    JsonlWriter(int fd, Warnings &warnings) : fd_(fd), warnings_(warnings) {}
    ~JsonlWriter() override { ::close(fd_); }
    JsonlWriter(const JsonlWriter &) = delete;
    JsonlWriter &operator=(const JsonlWriter &) = delete;

    void record(const RecordsUpdate &u) override
    {
        if (u.result == nullptr) {
            return;
        }
        const RunState &r = *u.run;
        const ResultRec &rec = *u.result;
        // The run's fields first, then the result in its one shape (the
        // keys it shares with the run keep their place).
        json_t *o = json_object();
        json_object_set_new(o, "run_id", jsonText(r.id));
        json_object_set_new(o, "batch", jsonText(r.batch));
        json_object_set_new(o, "station", jsonText(rec.station));
        json_object_set_new(o, "host", jsonText(r.gateway.host));
        json_object_set_new(o, "port", json_integer(r.gateway.port));
        json_object_set_new(o, "label", jsonText(r.gateway.label));
        json_object_set_new(o, "model", jsonText(r.gateway.model));
        json_object_set_new(o, "mac", jsonText(r.gateway.mac));
        // What the run is traced to, as known when the result was written
        // (a serial scanned during the run comes with its end: records.db
        // has it then).
        json_object_set_new(o, "serial", jsonText(r.trace.serial));
        json_object_set_new(o, "operator_id", jsonText(r.trace.operatorId));
        json_object_set_new(o, "profile_hash", jsonText(r.trace.profileHash));
        json_object_set_new(o, "profile_path", jsonText(r.trace.profilePath));
        json_object_set_new(o, "station_version", jsonText(r.trace.stationVersion));
        ResultRow row;
        row.runId = r.id;
        row.station = rec.station;
        row.mac = r.gateway.mac;
        row.code = rec.code;
        row.name = rec.name;
        row.attempt = rec.attempt;
        row.outcome = rec.outcome;
        row.dataHex = rec.dataHex;
        row.dataText = rec.decoded;
        row.hint = rec.hint;
        row.started = rec.started;
        row.durationMs = rec.durationMs;
        if (rec.answer) {
            row.operatorAnswer = rec.answer->answer;
            row.operatorMs = rec.answer->ms;
        }
        row.gang = rec.gang;
        row.limit = rec.limit;
        row.marginal = rec.marginal;
        json_t *result = resultJson(row);
        json_object_update(o, result);
        json_decref(result);
        char *line = json_dumps(o, JSON_COMPACT | JSON_PRESERVE_ORDER);
        json_decref(o);
        if (line != nullptr) {
            backlog_.push(std::string(line) + "\n");
            std::free(line);
        }
    }

    // The group's lines, then one sync for them all.
    void write() override
    {
        bool wrote = false;
        backlog_.drain([&](const std::string &line) {
            int err = appendLine(line);
            if (err != 0) {
                cannotWrite(err);
                return Tried::kLater;
            }
            wrote = true;
            warnings_.recovered("jsonl", "records: records.jsonl written again");
            return Tried::kWritten;
        });
        if (wrote && ::fdatasync(fd_) != 0) {
            cannotWrite(errno);
        }
    }

    size_t backlog() const override { return backlog_.size(); }

private:
    void cannotWrite(int err)
    {
        warnings_.say("jsonl", "records: cannot write records.jsonl (" + std::string(std::strerror(err)) +
                                   "); keeping the lines in memory and trying again with each test; testing goes on");
    }

    // One write() per line on an O_APPEND descriptor: another station's
    // line goes before or after this one, never into it. A full disk must
    // not leave half a line that the retry then follows with the whole one:
    // the room for the line is reserved first (nothing written when there
    // is none), and should a write still stop short, the piece is ended with
    // a newline before the line is written again, so that it stands alone.
    int appendLine(const std::string &line)
    {
        struct stat sb {};
        if (::fstat(fd_, &sb) == 0 &&
            ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, sb.st_size, static_cast<off_t>(line.size()) + 1) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS) {
            return errno;
        }
        if (brokenLine_) {
            if (::write(fd_, "\n", 1) != 1) {
                return errno != 0 ? errno : EIO;
            }
            brokenLine_ = false;
        }
        size_t written = 0;
        int err = writeAll(fd_, line, written);
        if (err != 0) {
            brokenLine_ = written > 0;
            return err;
        }
        return 0;
    }

    int fd_;
    Warnings &warnings_;
    Backlog<std::string> backlog_;
    bool brokenLine_ = false; // records.jsonl ends in a piece of a line
};

} // namespace

std::unique_ptr<RecordsWriter> openJsonlWriter(const std::string &dir, Warnings &warnings, std::string &error)
{
    const std::string path = dir + "/records.jsonl";
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<JsonlWriter>(fd, warnings);
}

} // namespace station::records
