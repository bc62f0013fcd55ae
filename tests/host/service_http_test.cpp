// The host service's HTTP API and live page against the real player on a simulated board: a game
// named over HTTP reaches the band and the page's picture of it, hostile requests get a 4xx in
// JSON and leave no file behind, the OpenAPI file lists exactly the routes served, and the page in
// headless Chromium shows the state the server-sent events bring.
#include "core/board_root.h"
#include "host/link/service_http.h"
#include "tests/host/headless_page.h"
#include "tests/host/service_fixture.h"
#include "tests/support/sample_media_copy.h"
#include "tests/support/screen_reader.h"
#include "sim/sample_media.h"
#include "sim/sim_board.h"

#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto STEP_TIMEOUT = 30s;
const std::string TOKEN = "owner's token";
const std::string PRODUCT = std::string("/media/") + SIM_DEFAULT_DISK + "/vorlix";
const std::string ROM_NAME = "Tom & Jerry's Chase (USA)";
const std::string GAME_PICTURE = PRODUCT + "/thirdparty/tom & jerry's chase (usa).png";
const std::string SERVICE_FOLDER = "/sim/service-tmp";

struct http_answer {
    int status = 0;
    std::string content_type, body;
};

// One request as bytes on a fresh connection, and the answer read until the service closes it.
http_answer send_request(int port, const std::string& request)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string raw;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        // The service may answer and close before it has read all; what it said still counts.
        (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[4096];
        for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;)
            raw.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    http_answer answer;
    size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos)
        return answer;
    answer.status = atoi(raw.c_str() + 9);
    std::string head = raw.substr(0, head_end);
    size_t type = head.find("Content-Type: ");
    if (type != std::string::npos)
        answer.content_type = head.substr(type + 14, head.find("\r\n", type) - type - 14);
    answer.body = raw.substr(head_end + 4);
    return answer;
}

std::string request(const std::string& method, const std::string& target, const std::string& headers = "",
                    const std::string& body = "")
{
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers;
    if (method == "POST" && headers.find("Transfer-Encoding") == std::string::npos &&
        headers.find("Content-Length") == std::string::npos)
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

const std::string BEARER = "Authorization: Bearer " + TOKEN + "\r\n";
const std::string BOUNDARY = "tavimoro-test-boundary";
const std::string FORM = "Content-Type: multipart/form-data; boundary=" + BOUNDARY + "\r\n";

// A multipart form of (name, file name or "", content) parts.
std::string form(const std::vector<std::vector<std::string>>& parts)
{
    std::string body;
    for (const auto& part : parts) {
        body += "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + part[0] + "\"";
        if (!part[1].empty())
            body += "; filename=\"" + part[1] + "\"\r\nContent-Type: application/octet-stream";
        body += "\r\n\r\n" + part[2] + "\r\n";
    }
    return body + "--" + BOUNDARY + "--\r\n";
}

// A JSON answer's string field, "" when the answer is not such JSON.
std::string json_string(const std::string& json, const char* name)
{
    cJSON* root = cJSON_Parse(json.c_str());
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
    std::string value = cJSON_IsString(item) ? item->valuestring : "";
    cJSON_Delete(root);
    return value;
}

std::set<std::string> files_under(const std::string& folder)
{
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        files.insert(entry.path().string());
    return files;
}

class HttpServiceTest : public board_test::ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        ASSERT_EQ(board_test::install_sample_media(board_test::process_root()), 0);
        ASSERT_EQ(make_sample_picture(path(GAME_PICTURE), 1920, 360, "TOM & JERRY", 0x2060C0), 0);
        write_file("/sim/token", TOKEN + "\n");
        start_player();
        port_ = free_tcp_port();
        start_service("--listen 127.0.0.1:" + std::to_string(port_) + " --token-file " + path("/sim/token") +
                      " --product " + path(PRODUCT));
    }

    http_answer call(const std::string& method, const std::string& target, const std::string& headers = BEARER,
                     const std::string& body = "") const
    {
        return send_request(port_, request(method, target, headers, body));
    }

    // Names the game over HTTP; its event number.
    std::string name_game()
    {
        http_answer queued = call("POST", "/api/v1/game", BEARER,
                                  R"({"rom": "/roms/snes/Tom & Jerry's Chase (USA).sfc", "title": "Tom & Jerry"})");
        EXPECT_EQ(queued.status, 202) << queued.body;
        cJSON* root = cJSON_Parse(queued.body.c_str());
        const cJSON* event = cJSON_GetObjectItemCaseSensitive(root, "event");
        std::string number = cJSON_IsNumber(event) ? std::to_string(event->valueint) : "";
        cJSON_Delete(root);
        return number;
    }

    int port_ = 0;
};

TEST_F(HttpServiceTest, GameNamedOverHttpReachesTheBandAndThePagesPicture)
{
    size_t mark = log().size();
    std::string event = name_game();
    ASSERT_FALSE(event.empty());
    EXPECT_TRUE(wait_for_log("banner_info.romname=" + ROM_NAME + "\n", STEP_TIMEOUT, mark)) << log();
    EXPECT_TRUE(board_test::band_shows(GAME_PICTURE, STEP_TIMEOUT)) << log();
    // The state tells of the event, ended well, and of what the board shows.
    EXPECT_TRUE(board_test::wait_until(
        [&] {
            std::string state = call("GET", "/api/v1/state").body;
            return state.find("\"number\":" + event + ",") != std::string::npos &&
                   state.find("\"status\":0") != std::string::npos &&
                   state.find("\"romname\":\"" + ROM_NAME + "\"") != std::string::npos;
        },
        STEP_TIMEOUT));

    // The kit draws the band from the product folder as the board shows it.
    http_answer band = call("GET", "/api/v1/band.png");
    ASSERT_EQ(band.status, 200) << band.body;
    EXPECT_EQ(band.content_type, "image/png");
    std::ofstream(path("/sim/band.png"), std::ios::binary) << band.body;
    ScreenImage drawn, picture;
    ASSERT_EQ(load_picture(path("/sim/band.png"), drawn), 0);
    ASSERT_EQ(load_picture(path(GAME_PICTURE), picture), 0);
    EXPECT_TRUE(screen_shows(drawn, picture, board_test::COLOUR_TOLERANCE));

    // A picture pushed as the page's form pushes it is fitted and shown.
    ASSERT_EQ(make_sample_picture(path("/sim/pushed.png"), 1920, 360, "PUSHED", 0xC04020), 0);
    http_answer pushed = call("POST", "/api/v1/image", BEARER + FORM,
                              form({{"file", "phone.png", read_file("/sim/pushed.png")}, {"title", "", "From the phone"}}));
    EXPECT_EQ(pushed.status, 202) << pushed.body;
    EXPECT_TRUE(board_test::band_shows("/sim/pushed.png", STEP_TIMEOUT)) << log();
}

// Each request is refused with its reason in JSON, and no file stays behind: not on the board's
// disk, not beside the service's folder, not in it.
TEST_F(HttpServiceTest, HostileRequestsGetAReasonAndLeaveNoFile)
{
    std::set<std::string> before = files_under(board_test::process_root());
    const std::string huge_header = "X-Filler: " + std::string(20000, 'a') + "\r\n";
    std::string many_lines;
    for (int i = 0; i < 2000; i++)
        many_lines += "X-Filler-" + std::to_string(i) + ": a\r\n";
    struct hostile {
        const char* what;
        std::string request;
        int status;
    };
    const hostile cases[] = {
        {"no token", request("GET", "/api/v1/state"), 401},
        {"a wrong token", request("GET", "/api/v1/state?token=guess"), 401},
        {"a wrong bearer", request("POST", "/api/v1/game", "Authorization: Bearer guess\r\n", "{}"), 401},
        {"an unknown route", request("GET", "/api/v1/../../etc/passwd", BEARER), 404},
        {"a huge header", request("GET", "/api/v1/state", BEARER + huge_header), 431},
        // Short lines without end: the library bounds only each line.
        {"a header without end", request("GET", "/api/v1/state", BEARER + many_lines), 431},
        {"a body past the bound", request("POST", "/api/v1/game", BEARER, "{\"title\":\"" + std::string(9000, 'x') + "\"}"), 413},
        {"a length past the bound", request("POST", "/api/v1/image", BEARER + FORM + "Content-Length: 99999999999\r\n"), 413},
        {"a chunked body", request("POST", "/api/v1/game", BEARER + "Transfer-Encoding: chunked\r\n", "2\r\n{}\r\n0\r\n\r\n"), 411},
        {"malformed JSON", request("POST", "/api/v1/game", BEARER, "{\"title\": "), 400},
        {"a field of the wrong type", request("POST", "/api/v1/game", BEARER, "{\"title\": 5}"), 400},
        {"an unknown field", request("POST", "/api/v1/system", BEARER, "{\"system\": \"snes\", \"colour\": 1}"), 400},
        {"a file name that climbs", request("POST", "/api/v1/file", BEARER + FORM, form({{"file", "../../escape.txt", "x"}})), 400},
        {"a name that climbs", request("POST", "/api/v1/package", BEARER + FORM, form({{"file", "p.zip", "x"}, {"name", "", "../escape.zip"}})), 400},
        {"a signature past its bound", request("POST", "/api/v1/firmware", BEARER + FORM,
                                               form({{"file", "f.img", "x"}, {"signature", "f.minisig", std::string(5000, 's')}})), 413},
        {"a form without its file", request("POST", "/api/v1/image", BEARER + FORM, form({{"title", "", "Hi"}})), 400},
        {"JSON where a form goes", request("POST", "/api/v1/image", BEARER, "{}"), 400},
    };
    for (const hostile& c : cases) {
        http_answer answer = send_request(port_, c.request);
        EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
        EXPECT_EQ(answer.content_type, "application/json") << c.what;
        EXPECT_NE(json_string(answer.body, "error"), "") << c.what << ": " << answer.body;
    }
    std::set<std::string> after = files_under(board_test::process_root());
    for (const std::string& file : after)
        EXPECT_TRUE(before.count(file) || file.rfind(path(SERVICE_FOLDER), 0) == 0) << file;
    for (const std::string& file : files_under(path(SERVICE_FOLDER)))
        EXPECT_FALSE(std::filesystem::is_regular_file(file)) << "left in the service's folder: " << file;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(board_test::process_root()).parent_path() / "escape.txt"));
    // The service still serves, and its port is its own.
    EXPECT_EQ(call("GET", "/api/v1/state").status, 200);
    int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), yes = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(other);
}

// The page has no state of its own: what it shows comes through the event stream, at once and
// on every change.
TEST_F(HttpServiceTest, PageInHeadlessChromiumFollowsTheEvents)
{
    if (system("command -v chromium > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    board_test::HeadlessPage page("http://127.0.0.1:" + std::to_string(port_) + "/?token=owner%27s%20token",
                                  path("/sim/chromium"));
    ASSERT_TRUE(page.opened());
    const std::string text = "document.body.innerText";
    EXPECT_TRUE(page.wait_for_text("link open", STEP_TIMEOUT)) << page.evaluate(text);
    EXPECT_TRUE(page.wait_for_text("board present", STEP_TIMEOUT)) << page.evaluate(text);
    EXPECT_TRUE(page.wait_for_text("unknown: nothing was named", STEP_TIMEOUT)) << page.evaluate(text);

    std::string event = name_game();
    EXPECT_TRUE(page.wait_for_text("Tom & Jerry (" + ROM_NAME + ")", STEP_TIMEOUT)) << page.evaluate(text);
    EXPECT_TRUE(page.wait_for_text(event + "\t", STEP_TIMEOUT)) << page.evaluate(text);
    EXPECT_TRUE(page.wait_for_text("\thttp\tgame\t", STEP_TIMEOUT)) << page.evaluate(text);
    // The band's picture, drawn by the kit, replaces the reason it was unknown.
    EXPECT_TRUE(board_test::wait_until(
        [&] { return page.evaluate("String(document.querySelector('#band img')?.naturalWidth)") == "1920"; },
        STEP_TIMEOUT))
        << page.evaluate(text);
    // A page still listening does not hold the service up when it stops.
    auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_service(), 0) << service_log();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, board_test::slow_build_bound(5s));
}

// The OpenAPI file in the tree lists exactly the routes the service registers.
TEST(HttpRoutes, OpenApiFileListsExactlyTheRoutesServed)
{
    std::ifstream file(OPENAPI_FILE);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    cJSON* root = cJSON_Parse(text.c_str());
    ASSERT_NE(root, nullptr);
    std::vector<std::string> documented;
    const cJSON* path_item = nullptr;
    cJSON_ArrayForEach(path_item, cJSON_GetObjectItemCaseSensitive(root, "paths"))
    {
        const cJSON* operation = nullptr;
        cJSON_ArrayForEach(operation, path_item)
        {
            std::string method = operation->string;
            std::transform(method.begin(), method.end(), method.begin(), ::toupper);
            documented.push_back(method + " " + path_item->string);
        }
    }
    cJSON_Delete(root);
    std::vector<std::string> served = http_routes();
    std::sort(documented.begin(), documented.end());
    std::sort(served.begin(), served.end());
    EXPECT_EQ(documented, served);
}

} // namespace
