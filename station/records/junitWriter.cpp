// The writer of the JUnit files (see junitWriter.h): one file per batch,
// written at the batch's end or when the records close with a batch still
// open.
#include "records/junitWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "catalogue.h"
#include "records/files.h"
#include "records/text.h"

namespace station {

std::function<void(const std::string &)> seams::junitScratchWritten;

std::string junitFileName(const std::string &batchId)
{
    std::string out;
    for (char c : batchId) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        out += ok ? c : '_';
    }
    if (out.empty() || out[0] == '.') {
        out.insert(out.begin(), '_');
    }
    return out;
}

} // namespace station

namespace station::records {

namespace {

class JunitWriter final : public RecordsWriter {
public:
    JunitWriter(std::string dir, const RunBook &book, Warnings &warnings)
        : dir_(std::move(dir)), book_(book), warnings_(warnings)
    {
    }

    void record(const RecordsUpdate &u) override
    {
        if (u.batch != nullptr) {
            queue(*u.batch);
        }
    }

    void write() override
    {
        backlog_.drain([this](const std::pair<std::string, std::string> &file) {
            std::string err = writeJunit(file.first, file.second);
            if (!err.empty()) {
                warnings_.say("junit", "records: " + err + "; trying again with the next event; testing goes on");
                return Tried::kLater;
            }
            warnings_.recovered("junit", "records: JUnit file written again");
            return Tried::kWritten;
        });
    }

    // Batches the engine never closed (the station is stopping): their
    // JUnit file all the same, with what ran.
    void closing() override
    {
        for (const auto &[id, batch] : book_.batches()) {
            queue(batch);
        }
    }

    size_t backlog() const override { return backlog_.size(); }

private:
    void queue(const BatchState &batch) { backlog_.push({junitFileName(batch.id), junitXml(batch)}); }

    std::string junitXml(const BatchState &batch) const
    {
        struct Counts {
            int tests = 0, failures = 0, errors = 0, skipped = 0;
            double time = 0;
        };
        Counts all;
        std::string suites;
        int index = 0;
        for (const std::string &runId : batch.runs) {
            const RunState *found = book_.find(runId);
            if (found == nullptr) {
                continue;
            }
            const RunState &r = *found;
            // A testcase per test: the last attempt decides it, earlier ones
            // are told in its system-out.
            std::vector<int> order;
            std::map<int, std::vector<const ResultRec *>> byCode;
            for (const ResultRec &rec : r.results) {
                if (byCode[rec.code].empty()) {
                    order.push_back(rec.code);
                }
                byCode[rec.code].push_back(&rec);
            }
            // Tests of the plan that never reported (the station stopped
            // before they came).
            std::vector<int> missing;
            for (uint16_t code : r.plan) {
                if (byCode.count(code) == 0) {
                    missing.push_back(code);
                    byCode[code];
                }
            }
            Counts c;
            std::string cases;
            const std::string classname = xmlText(r.gateway.model.empty() ? "gateway" : r.gateway.model);
            for (int code : order) {
                const auto &attempts = byCode[code];
                const ResultRec &last = *attempts.back();
                double secs = 0;
                for (const ResultRec *a : attempts) {
                    secs += a->durationMs / 1000.0;
                }
                ++c.tests;
                c.time += secs;
                char head[64];
                std::snprintf(head, sizeof head, "\" time=\"%.3f\"", secs);
                cases += "    <testcase name=\"" + xmlText(last.name) + "\" classname=\"" + classname + head;
                std::string body;
                std::string detail = detailOf(last);
                if (last.outcome == "fail") {
                    ++c.failures;
                    body += "      <failure type=\"fail\" message=\"" + xmlText(messageOf(last)) + "\">" +
                            xmlText(detail) + "</failure>\n";
                } else if (last.outcome == "no-reply" || last.outcome == "connection-lost") {
                    ++c.errors;
                    body += "      <error type=\"" + last.outcome + "\" message=\"" + xmlText(messageOf(last)) + "\">" +
                            xmlText(detail) + "</error>\n";
                } else if (last.outcome == "skipped" || last.outcome == "not-run") {
                    ++c.skipped;
                    body += "      <skipped message=\"" + xmlText(messageOf(last)) + "\"/>\n";
                }
                std::string out;
                for (const ResultRec *a : attempts) {
                    if (attempts.size() > 1 || !a->decoded.empty() || a->answer || !a->limit.empty() || a->marginal) {
                        out += "attempt " + std::to_string(a->attempt) + ": " + a->outcome;
                        if (!a->decoded.empty()) {
                            out += ", data " + a->decoded;
                        }
                        if (a->answer) {
                            out += ", operator " + a->answer->answer;
                        }
                        out += "\n";
                        // What the line's profile judged (the usual schema
                        // has no properties on a testcase).
                        out += limitLines(*a);
                    }
                }
                if (!out.empty()) {
                    body += "      <system-out>" + xmlText(out) + "</system-out>\n";
                }
                cases += body.empty() ? "/>\n" : ">\n" + body + "    </testcase>\n";
            }
            for (int code : missing) {
                ++c.tests;
                ++c.skipped;
                char name[16];
                std::snprintf(name, sizeof name, "0x%04x", static_cast<unsigned>(code));
                const catalogue::Test *row =
                    catalogue::find(static_cast<uint16_t>(code), catalogue::modelBit(r.gateway.model));
                cases += "    <testcase name=\"" + (row != nullptr ? xmlText(row->name) : std::string(name)) +
                         "\" classname=\"" + classname +
                         "\" time=\"0.000\">\n      <skipped message=\"not run: the run ended before it\"/>\n"
                         "    </testcase>\n";
            }
            // A duplicate passed every test, and yet is not a unit to ship: a
            // reader that counts failures must not take its suite for a pass.
            if (r.finished && r.outcome == "duplicate") {
                ++c.tests;
                ++c.failures;
                cases += "    <testcase name=\"duplicate\" classname=\"" + classname +
                         "\" time=\"0.000\">\n      <failure type=\"duplicate\" message=\"" + xmlText(r.message) +
                         "\"/>\n    </testcase>\n";
            }
            std::string suiteName =
                r.gateway.label.empty() ? address(r.gateway) : r.gateway.label + " " + address(r.gateway);
            if (!r.gateway.mac.empty()) {
                suiteName += " " + r.gateway.mac;
            }
            char attrs[256];
            std::snprintf(attrs, sizeof attrs,
                          "\" tests=\"%d\" failures=\"%d\" errors=\"%d\" skipped=\"%d\" time=\"%.3f\" id=\"%d\"",
                          c.tests, c.failures, c.errors, c.skipped, c.time, index);
            std::string ts = recordTime(r.startedMs).substr(0, 19); // the usual form has no zone
            suites += "  <testsuite name=\"" + xmlText(suiteName) + attrs + " timestamp=\"" + ts + "\" hostname=\"" +
                      xmlText(r.gateway.host) + "\" package=\"" + classname + "\">\n";
            suites += "    <properties>\n";
            auto prop = [&](const char *name, const std::string &value) {
                suites += "      <property name=\"" + std::string(name) + "\" value=\"" + xmlText(value) + "\"/>\n";
            };
            prop("run", r.id);
            prop("station", batch.station);
            prop("address", address(r.gateway));
            prop("label", r.gateway.label);
            prop("model", r.gateway.model);
            prop("mac", r.gateway.mac);
            prop("outcome", r.finished ? r.outcome : "unfinished");
            prop("serial", r.trace.serial);
            prop("operator_id", r.trace.operatorId);
            prop("profile_hash", r.trace.profileHash);
            prop("profile_path", r.trace.profilePath);
            prop("station_version", r.trace.stationVersion);
            suites += "    </properties>\n" + cases;
            std::string out = "run " + (r.finished ? r.outcome : std::string("unfinished: the station stopped"));
            if (!r.message.empty()) {
                out += ": " + r.message;
            }
            suites += "    <system-out>" + xmlText(out + "\n") + "</system-out>\n  </testsuite>\n";
            all.tests += c.tests;
            all.failures += c.failures;
            all.errors += c.errors;
            all.skipped += c.skipped;
            all.time += c.time;
            ++index;
        }
        char attrs[160];
        std::snprintf(attrs, sizeof attrs, "\" tests=\"%d\" failures=\"%d\" errors=\"%d\" time=\"%.3f\">\n", all.tests,
                      all.failures, all.errors, all.time);
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"gwtest " + xmlText(batch.id) + attrs +
               suites + "</testsuites>\n";
    }

    static std::string messageOf(const ResultRec &r)
    {
        std::string m = r.outcome;
        if (r.outcome == "no-reply") {
            m = "no reply in time";
        } else if (r.outcome == "connection-lost") {
            m = "the connection dropped during the test";
        } else if (r.outcome == "not-run") {
            m = "not run: the run ended before it";
        } else if (r.outcome == "skipped") {
            m = "skipped";
        }
        if (r.answer && r.answer->answer == "no") {
            m += ": the operator answered no";
        }
        // Failed by the line's profile: the limit it broke, with the value.
        if (r.outcome == "fail" && !r.limit.empty()) {
            m += ": ";
            m += r.message.empty() ? r.limit : r.message;
        }
        if (!r.decoded.empty()) {
            m += ": data " + r.decoded;
        }
        if (!r.hint.empty() && r.outcome != "skipped" && r.outcome != "not-run") {
            m += " (check: " + r.hint + ")";
        }
        return m;
    }

    static std::string detailOf(const ResultRec &r)
    {
        std::string d = r.title.empty() ? r.name : r.title;
        char code[16];
        std::snprintf(code, sizeof code, " (0x%04x)", static_cast<unsigned>(r.code));
        d += code;
        d += ", attempt " + std::to_string(r.attempt) + ": " + r.outcome + "\n";
        if (!r.decoded.empty()) {
            d += "data: " + r.decoded + "\n";
        }
        if (r.answer) {
            d += "operator: " + r.answer->answer + " after " + std::to_string(r.answer->ms) + " ms\n";
        }
        d += limitLines(r);
        if (!r.hint.empty()) {
            d += "check: " + r.hint + "\n";
        }
        return d;
    }

    // "limit: sysversion 2.3.6, want 2.3.7" and "marginal", a line each.
    static std::string limitLines(const ResultRec &r)
    {
        std::string lines;
        if (!r.limit.empty()) {
            lines += "limit: ";
            lines += r.limit;
            lines += '\n';
        }
        if (r.marginal) {
            lines += "marginal\n";
        }
        return lines;
    }

    // Written beside its place and linked in: a reader sees the whole file
    // or none, and an existing file (another station's batch of the same
    // name) is never overwritten: this one takes the next free name.
    std::string writeJunit(const std::string &name, const std::string &xml)
    {
        const std::string junit = dir_ + "/junit";
        std::string error;
        if (!makeDir(junit, error)) {
            return error;
        }
        const std::string scratch = junit + "/." + name + ".xml." + std::to_string(getpid());
        int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return "cannot write " + scratch + ": " + std::strerror(errno);
        }
        size_t written = 0;
        int err = writeAll(fd, xml, written);
        if (err == 0 && ::fsync(fd) != 0) {
            err = errno;
        }
        ::close(fd);
        if (err != 0) {
            ::unlink(scratch.c_str());
            return "cannot write " + scratch + ": " + std::strerror(err);
        }
        if (seams::junitScratchWritten) {
            seams::junitScratchWritten(scratch);
        }
        for (int n = 1; n < 1000; ++n) {
            // (Built piece by piece: GCC 12 takes "~" + std::to_string(n) for an
            // overlapping copy, -Wrestrict, a known false warning.)
            std::string target = junit + "/" + name;
            if (n > 1) {
                target += '~';
                target += std::to_string(n);
            }
            target += ".xml";
            if (::link(scratch.c_str(), target.c_str()) == 0) {
                ::unlink(scratch.c_str());
                return "";
            }
            if (errno != EEXIST) {
                err = errno;
                ::unlink(scratch.c_str());
                return "cannot write " + target + ": " + std::strerror(err);
            }
        }
        ::unlink(scratch.c_str());
        return "cannot find a free name for " + junit + "/" + name + ".xml";
    }

    std::string dir_;
    const RunBook &book_;
    Warnings &warnings_;
    Backlog<std::pair<std::string, std::string>> backlog_; // file name (no .xml), content
};

} // namespace

std::unique_ptr<RecordsWriter> openJunitWriter(const std::string &dir, const RunBook &book, Warnings &warnings)
{
    return std::make_unique<JunitWriter>(dir, book, warnings);
}

} // namespace station::records
