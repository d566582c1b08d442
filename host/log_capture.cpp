#include "host/log_capture.h"

#include <algorithm>

LogCapture::LogCapture() : previousLevel(Logger::getLogger()->getSinkLevel()) {
    previous = Logger::getLogger()->setSink([this](Logger::Level level, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        captured.emplace_back(level, text);
    });
}

LogCapture::~LogCapture() {
    Logger::getLogger()->setSink(std::move(previous), previousLevel);
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

std::vector<std::string> LogCapture::texts(Logger::Level level) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> result;
    for (const auto& line : captured) {
        if (line.first == level) {
            result.push_back(line.second);
        }
    }
    return result;
}

bool LogCapture::contains(Logger::Level level, const std::string& text) const {
    return count(level, text) > 0;
}

size_t LogCapture::count(Logger::Level level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<size_t>(std::count_if(captured.begin(), captured.end(), [&](const Line& l) {
        return l.first == level && l.second == text;
    }));
}

bool LogCapture::anyLineContains(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(captured.begin(), captured.end(),
                       [&](const Line& l) { return l.second.find(fragment) != std::string::npos; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    captured.clear();
}
