// A page in headless Chromium, driven over its DevTools pipe, for tests of what a page shows
// while it lives (--dump-dom shows a page only as it loaded, before any of its events came).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace board_test {

class HeadlessPage {
public:
    // Opens `address` in Chromium with its profile in `profile` (a folder of the test's).
    HeadlessPage(const std::string& address, const std::string& profile);
    ~HeadlessPage();
    HeadlessPage(const HeadlessPage&) = delete;
    HeadlessPage& operator=(const HeadlessPage&) = delete;

    bool opened() const { return !session_.empty(); }
    // The value of a JavaScript expression of the page, as a string ("" when it fails).
    std::string evaluate(const std::string& expression);
    // Waits until the page's text holds `text`.
    bool wait_for_text(const std::string& text, std::chrono::milliseconds timeout);

private:
    // One DevTools command; its answer's "result" as JSON text, "" on failure.
    std::string command(const std::string& method, const std::string& params, bool in_page);

    pid_t browser_ = 0;
    int to_browser_ = -1, from_browser_ = -1;
    int next_id_ = 1;
    std::string session_, pending_;
};

} // namespace board_test
