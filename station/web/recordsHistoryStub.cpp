// Stand-in of the history view until the records' reader is built in.
#include "recordsHistory.h"

namespace station::web {

bool RecordsHistory::summary(const std::string &, std::string &, std::string &error)
{
    error = "this gwtest reads no records yet";
    return false;
}

bool RecordsHistory::unit(const std::string &, std::string &, std::string &error)
{
    error = "this gwtest reads no records yet";
    return false;
}

} // namespace station::web
