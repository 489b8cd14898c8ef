#pragma once

#include <cstdint>
#include <exception>
#include <string>

// An error value as the platform frameworks report them: a domain naming who failed, a numeric
// code (negative for our own components), and a human-readable message.
struct Error {
    std::string domain;
    int64_t code = 0;
    std::string localizedDescription;

    // The one textual rendering used wherever an error is printed; it names all three parts:
    // Error Domain=<domain> Code=<code> "<message>"
    std::string description() const;
};

// Helper for the frequent "fill the out-pointer when the caller passed one" pattern.
inline void setError(Error* out, std::string domain, int64_t code, std::string message) {
    if (out) *out = Error{std::move(domain), code, std::move(message)};
}

// An error thrown by an operation whose message form reports it through an out-pointer.
struct ThrownError : std::exception {
    explicit ThrownError(Error e) : error(std::move(e)), text(error.description()) {}
    const char* what() const noexcept override { return text.c_str(); }
    Error error;
    std::string text;
};
