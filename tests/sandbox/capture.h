// Captures what the code under test prints on standard output (and, on
// request, standard error) until finish() or the end of the object.
#pragma once

#include <string>

namespace sandbox {

class OutputCapture {
public:
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Everything printed so far (the capture goes on).
    std::string text();
    // Ends the capture and returns everything printed. Call it before any
    // assertion: googletest prints its failures on standard output too.
    std::string finish();

private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
    std::string finished_;
};

} // namespace sandbox
