// The modem rules: echo, then the answer framed as modems frame it.
#include "modem.h"

namespace gwemu {

namespace {

constexpr char kOk[] = "\r\nOK\r\n";
constexpr char kError[] = "\r\nERROR\r\n";
constexpr char kSimReady[] = "\r\n+CPIN: READY\r\n\r\nOK\r\n";
// 10: SIM not inserted.
constexpr char kSimError[] = "\r\n+CME ERROR: 10\r\n";

Answer reply(const ModemBehaviour &b, const std::string &request, const std::string &final)
{
    const std::string echo = b.echo ? request : std::string();
    if (b.delayMs == 0) {
        return {{0, echo + final}};
    }
    Answer answer;
    if (!echo.empty()) {
        answer.push_back({0, echo});
    }
    answer.push_back({b.delayMs, final});
    return answer;
}

} // namespace

std::vector<Rule> modemRules(const ModemBehaviour &behaviour)
{
    if (!behaviour.answers) {
        return {};
    }
    const ModemBehaviour b = behaviour;
    return {
        {"AT\r", [b](const std::string &request, unsigned) { return reply(b, request, b.atOk ? kOk : kError); }},
        {"AT+CPIN?\r",
         [b](const std::string &request, unsigned hit) {
             const bool ready = b.simReadyFrom != 0 && hit >= b.simReadyFrom;
             return reply(b, request, ready ? kSimReady : kSimError);
         }},
        {"\r", [b](const std::string &request, unsigned) { return reply(b, request, kError); }},
    };
}

} // namespace gwemu
