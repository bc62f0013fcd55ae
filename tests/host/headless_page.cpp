// Headless Chromium over --remote-debugging-pipe: it reads commands on descriptor 3 and writes
// answers and events on descriptor 4, each a JSON message ended by a NUL byte.
#include "tests/host/headless_page.h"

#include "tests/support/board_fixture.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace board_test {

namespace {

// Chromium starting on a loaded machine takes its time.
constexpr int ANSWER_TIMEOUT_MS = 30000;
constexpr int BROWSER_IN = 3, BROWSER_OUT = 4;

// A JSON string for the commands' parameters.
std::string quoted_json(const std::string& text)
{
    cJSON* string = cJSON_CreateString(text.c_str());
    char* printed = cJSON_PrintUnformatted(string);
    std::string json = printed;
    cJSON_free(printed);
    cJSON_Delete(string);
    return json;
}

// A field of an answer: the string at `path` (keys into nested objects), "" when it is absent.
std::string field(const std::string& json, std::initializer_list<const char*> path)
{
    cJSON* root = cJSON_Parse(json.c_str());
    const cJSON* item = root;
    for (const char* key : path)
        item = cJSON_GetObjectItemCaseSensitive(item, key);
    std::string value = cJSON_IsString(item) ? item->valuestring : "";
    cJSON_Delete(root);
    return value;
}

} // namespace

HeadlessPage::HeadlessPage(const std::string& address, const std::string& profile)
{
    int commands[2], answers[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0)
        return;
    // Made before the fork: the child of a process with threads only calls what is safe there.
    std::string profile_option = "--user-data-dir=" + profile;
    browser_ = fork();
    if (browser_ == 0) {
        // Moved out of the way first, so that neither lands on the other's number.
        int in = fcntl(commands[0], F_DUPFD, 10), out = fcntl(answers[1], F_DUPFD, 10);
        dup2(in, BROWSER_IN);
        dup2(out, BROWSER_OUT);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execlp("chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
               "--window-size=1000,900", profile_option.c_str(), address.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(commands[0]);
    close(answers[1]);
    to_browser_ = commands[1];
    from_browser_ = answers[0];
    if (browser_ < 0)
        return;
    // The page the browser opened with the address, and a session attached to it.
    std::string targets = command("Target.getTargets", "{}", false);
    cJSON* root = cJSON_Parse(targets.c_str());
    const cJSON* info = nullptr;
    std::string target;
    cJSON_ArrayForEach(info, cJSON_GetObjectItemCaseSensitive(root, "targetInfos"))
    {
        const cJSON* type = cJSON_GetObjectItemCaseSensitive(info, "type");
        if (cJSON_IsString(type) && strcmp(type->valuestring, "page") == 0)
            target = cJSON_GetObjectItemCaseSensitive(info, "targetId")->valuestring;
    }
    cJSON_Delete(root);
    if (!target.empty())
        session_ = field(command("Target.attachToTarget", "{\"targetId\":" + quoted_json(target) + ",\"flatten\":true}", false),
                         {"sessionId"});
}

HeadlessPage::~HeadlessPage()
{
    if (browser_ > 0) {
        command("Browser.close", "{}", false);
        if (!wait_until([&] { return waitpid(browser_, nullptr, WNOHANG) == browser_; }, std::chrono::seconds(10))) {
            kill(browser_, SIGKILL);
            waitpid(browser_, nullptr, 0);
        }
    }
    close(to_browser_);
    close(from_browser_);
}

std::string HeadlessPage::command(const std::string& method, const std::string& params, bool in_page)
{
    int id = next_id_++;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":" + quoted_json(method) + ",\"params\":" + params +
                          (in_page ? ",\"sessionId\":" + quoted_json(session_) : "") + "}";
    message.push_back('\0');
    if (write(to_browser_, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
        return "";
    // Events come between the answers; each message is read whole and the one with this id kept.
    for (;;) {
        size_t end;
        while ((end = pending_.find('\0')) == std::string::npos) {
            pollfd ready{from_browser_, POLLIN, 0};
            char chunk[65536];
            ssize_t n = poll(&ready, 1, ANSWER_TIMEOUT_MS) == 1 ? read(from_browser_, chunk, sizeof chunk) : -1;
            if (n <= 0)
                return "";
            pending_.append(chunk, static_cast<size_t>(n));
        }
        std::string answer = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        cJSON* root = cJSON_Parse(answer.c_str());
        const cJSON* answer_id = cJSON_GetObjectItemCaseSensitive(root, "id");
        std::string result;
        bool mine = cJSON_IsNumber(answer_id) && answer_id->valueint == id;
        if (mine) {
            char* printed = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(root, "result"));
            result = printed ? printed : "";
            cJSON_free(printed);
        }
        cJSON_Delete(root);
        if (mine)
            return result;
    }
}

std::string HeadlessPage::evaluate(const std::string& expression)
{
    return field(command("Runtime.evaluate", "{\"expression\":" + quoted_json(expression) + ",\"returnByValue\":true}", true),
                 {"result", "value"});
}

bool HeadlessPage::wait_for_text(const std::string& text, std::chrono::milliseconds timeout)
{
    return wait_until([&] { return evaluate("document.body.innerText").find(text) != std::string::npos; }, timeout);
}

} // namespace board_test
