#pragma once

#include <string>
#include <string_view>

// A logger with a subsystem and a category, writing one line per message to standard error:
//   [<subsystem>:<category>] <level>: <message>
class OSLog {
public:
    OSLog(std::string subsystem, std::string category);

    void info(std::string_view message) const;
    void error(std::string_view message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    void write(std::string_view level, std::string_view message) const;

    std::string subsystem_;
    std::string category_;
};
