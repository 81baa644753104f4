// The retry backlog of a records writer: what could not be written yet,
// kept in memory in order and tried again from the front; and the warnings
// about it, said once per kind until that kind is written again.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>

namespace station::records {

// Where the writers say that a record could not be written; by default
// standard error. Shared by the writers of one records directory.
class Warnings {
public:
    explicit Warnings(std::function<void(const std::string &)> warn) : warn_(std::move(warn)) {}

    // Said the first time only, until recovered(kind).
    void say(const std::string &kind, const std::string &message)
    {
        if (said_.insert(kind).second) {
            out(message);
        }
    }
    // Said only when `kind` had been said.
    void recovered(const std::string &kind, const std::string &message)
    {
        if (said_.erase(kind) != 0) {
            out(message);
        }
    }

private:
    void out(const std::string &message)
    {
        if (warn_) {
            warn_(message);
        } else {
            std::fprintf(stderr, "gwtest: %s\n", message.c_str());
        }
    }

    std::function<void(const std::string &)> warn_;
    std::set<std::string> said_;
};

// What a try of the front item came to.
enum class Tried {
    kWritten, // done: the next one is tried
    kLater,   // a failure that may pass: the backlog stops here until the next try
    kDropped, // a failure that will not pass: given up, the next one is tried
};

template <typename T>
class Backlog {
public:
    void push(T item) { items_.push_back(std::move(item)); }
    // Items that go back before the rest, in their order.
    template <typename Items>
    void pushFront(Items &&items)
    {
        items_.insert(items_.begin(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }

    // Tries the items in order with `attempt` (T& -> Tried); stops at the
    // first that must wait, so the order of the records is kept.
    template <typename F>
    void drain(F attempt)
    {
        while (!items_.empty()) {
            const Tried t = attempt(items_.front());
            if (t == Tried::kLater) {
                return;
            }
            items_.pop_front();
        }
    }

private:
    std::deque<T> items_;
};

} // namespace station::records
