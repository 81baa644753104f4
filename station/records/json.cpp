// The one JSON shape of a run and of a result (see json.h).
#include "records/json.h"

#include "records/text.h"

namespace station::records {

json_t *jsonText(const std::string &text)
{
    json_t *value = json_stringn(text.data(), text.size());
    if (value == nullptr) {
        const std::string clean = cleanUtf8(text);
        value = json_stringn(clean.data(), clean.size());
    }
    return value != nullptr ? value : json_string("");
}

json_t *runJson(const RunRow &run)
{
    json_t *o = json_object();
    json_object_set_new(o, "id", jsonText(run.id));
    json_object_set_new(o, "batch", jsonText(run.batch));
    json_object_set_new(o, "station", jsonText(run.station));
    json_object_set_new(o, "started", jsonText(run.started));
    json_object_set_new(o, "finished", run.finished.empty() ? json_null() : jsonText(run.finished));
    json_object_set_new(o, "host", jsonText(run.host));
    json_object_set_new(o, "port", json_integer(run.port));
    json_object_set_new(o, "label", jsonText(run.label));
    json_object_set_new(o, "model", jsonText(run.model));
    json_object_set_new(o, "mac", jsonText(run.mac));
    json_object_set_new(o, "outcome", run.outcome.empty() ? json_null() : jsonText(run.outcome));
    json_object_set_new(o, "serial", jsonText(run.serial));
    json_object_set_new(o, "operator_id", jsonText(run.operatorId));
    json_object_set_new(o, "profile_hash", jsonText(run.profileHash));
    json_object_set_new(o, "profile_path", jsonText(run.profilePath));
    json_object_set_new(o, "station_version", jsonText(run.stationVersion));
    return o;
}

json_t *resultJson(const ResultRow &r)
{
    json_t *o = json_object();
    json_object_set_new(o, "run_id", jsonText(r.runId));
    json_object_set_new(o, "station", jsonText(r.station));
    json_object_set_new(o, "mac", jsonText(r.mac));
    json_object_set_new(o, "code", json_integer(r.code));
    json_object_set_new(o, "name", jsonText(r.name));
    json_object_set_new(o, "attempt", json_integer(r.attempt));
    json_object_set_new(o, "outcome", jsonText(r.outcome));
    json_object_set_new(o, "data_hex", jsonText(r.dataHex));
    json_object_set_new(o, "data_text", jsonText(r.dataText));
    json_object_set_new(o, "hint", jsonText(r.hint));
    json_object_set_new(o, "started", jsonText(r.started));
    json_object_set_new(o, "duration_ms", json_integer(r.durationMs));
    json_object_set_new(o, "operator_answer", r.operatorAnswer ? jsonText(*r.operatorAnswer) : json_null());
    json_object_set_new(o, "operator_ms", r.operatorMs ? json_integer(*r.operatorMs) : json_null());
    json_object_set_new(o, "gang", r.gang.empty() ? json_null() : jsonText(r.gang));
    json_object_set_new(o, "limit", r.limit.empty() ? json_null() : jsonText(r.limit));
    json_object_set_new(o, "marginal", json_boolean(r.marginal));
    return o;
}

ResultRow resultOf(const Event &e)
{
    ResultRow r;
    r.runId = e.runId;
    r.station = cleanUtf8(e.station);
    r.mac = macOf(e.gateway.mac);
    r.code = e.code;
    r.name = cleanUtf8(e.name);
    r.attempt = e.attempt;
    r.outcome = std::string(outcomeName(e.outcome));
    r.dataHex = hexCompact(e.data);
    r.dataText = cleanUtf8(e.decoded);
    r.hint = cleanUtf8(e.hint);
    r.started = recordTime(e.unixMs > 0 ? e.unixMs - e.durationMs : 0);
    r.durationMs = e.durationMs;
    if (e.answer && !e.answer->answer.empty()) {
        r.operatorAnswer = cleanUtf8(e.answer->answer);
        r.operatorMs = e.answer->ms;
    }
    r.gang = cleanUtf8(e.gang);
    r.limit = cleanUtf8(e.limit);
    r.marginal = e.marginal;
    return r;
}

} // namespace station::records
