// Collects what the code under test writes to std::cout while it lives.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

class captured_stdout {
public:
    captured_stdout() : saved_(std::cout.rdbuf(text_.rdbuf())) {}
    ~captured_stdout() { std::cout.rdbuf(saved_); }
    captured_stdout(const captured_stdout&) = delete;
    captured_stdout& operator=(const captured_stdout&) = delete;

    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* saved_;
};
