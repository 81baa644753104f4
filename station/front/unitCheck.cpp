// A passed unit checked against the records (see unitCheck.h).
#include "front/unitCheck.h"

#include <optional>
#include <utility>

#include "line/loader.h"
#include "records/clash.h"

namespace station {

std::function<UnitCheck(const std::string &, const std::string &)>
unitChecker(RecordsSink *records, std::string recordsDir, std::string dbUrl)
{
    return [records, recordsDir = std::move(recordsDir), dbUrl = std::move(dbUrl)](const std::string &mac,
                                                                                   const std::string &serial) {
        const records::UnitKey unit{mac, serial};
        UnitCheck check;
        // The other gateways of this batch are units too: what they have
        // told the records so far is written before the records are read.
        if (records != nullptr) {
            records->flush();
        }
        std::optional<records::RunRow> clash;
        std::string error;
        if (!records::findLocalClash(recordsDir, unit, clash, error)) {
            check.verdict = UnitCheck::Verdict::kUncheckedLine;
            check.message = "not checked for duplicates: " + error;
            return check;
        }
        if (clash) {
            check.verdict = UnitCheck::Verdict::kDuplicate;
            check.message = records::clashMessage(*clash, unit);
            return check;
        }
        if (dbUrl.empty()) {
            return check;
        }
        if (!line::findLineClash(dbUrl, unit, clash, error)) {
            check.verdict = UnitCheck::Verdict::kUncheckedLine;
            check.message = "not checked against the line: " + error;
        } else if (clash) {
            check.verdict = UnitCheck::Verdict::kDuplicate;
            check.message = records::clashMessage(*clash, unit);
        }
        return check;
    };
}

} // namespace station
