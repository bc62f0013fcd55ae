// tavimoro-host serve's MQTT and RetroArch parts with real parts on loopback: a mosquitto broker
// started here with its own configuration, simulated boards (tavimoro-sim, each in a root of its
// own), Recalbox's events published as its EmulationStation publishes them, and a stand-in for
// RetroArch's UDP port answering as its command.c does.
#include "host/link/service_commands.h"
#include "tests/host/service_fixture.h"
#include "sim/sample_media.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <httplib.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

extern char** environ;

namespace {

constexpr auto START_TIMEOUT = 30s;
constexpr auto STEP_TIMEOUT = 10s;
constexpr auto STOP_TIMEOUT = 10s;

// A program of the test's, its output in a log file; killed when it goes.
class child {
public:
    child() = default;
    child(const child&) = delete;
    child& operator=(const child&) = delete;
    // Asked to end first: a simulator ends its player only then, which SIGKILL would orphan.
    ~child()
    {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0 &&
            !board_test::wait_until([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, STOP_TIMEOUT))
            kill_now(SIGKILL);
    }

    // `settings` ("NAME=VALUE") replace those of this process's environment.
    void start(const std::vector<std::string>& argv, const std::string& log,
               const std::vector<std::string>& settings = {})
    {
        log_ = log;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        std::vector<char*> environment;
        for (char** variable = environ; *variable; variable++) {
            std::string_view name(*variable, strcspn(*variable, "="));
            if (std::none_of(settings.begin(), settings.end(),
                             [&](const std::string& setting) { return setting.substr(0, setting.find('=')) == name; }))
                environment.push_back(*variable);
        }
        for (const std::string& setting : settings)
            environment.push_back(const_cast<char*>(setting.c_str()));
        environment.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environment.data()) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_GT(pid_, 0) << argv[0];
    }

    // Sends `sig` and waits for the end.
    void kill_now(int sig)
    {
        if (pid_ <= 0)
            return;
        kill(pid_, sig);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    std::string log() const
    {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const
    {
        return board_test::wait_until([&] { return log().find(text) != std::string::npos; }, timeout);
    }

private:
    pid_t pid_ = 0;
    std::string log_;
};

// A client of the broker that keeps every message of the topics it follows.
class listener {
public:
    listener(int port, const std::vector<std::string>& topics) : topics_(topics)
    {
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(client_, [](mosquitto* client, void* self, int) {
            for (const std::string& topic : static_cast<listener*>(self)->topics_)
                mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
            static_cast<listener*>(self)->connected_ = true;
        });
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            auto* me = static_cast<listener*>(self);
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->messages_.emplace_back(message->topic,
                                       std::string(static_cast<char*>(message->payload), message->payloadlen));
        });
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_loop_start(client_);
        mosquitto_connect_async(client_, "127.0.0.1", port, 10);
        // What it publishes is for a broker that has it.
        board_test::wait_until([&] { return connected_.load(); }, STEP_TIMEOUT);
    }
    ~listener()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    void publish(const std::string& topic, const std::string& payload)
    {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }

    // Waits for a message on `topic` whose payload holds every one of `parts`.
    bool wait_for(const std::string& topic, const std::vector<std::string>& parts,
                  std::chrono::milliseconds timeout = STEP_TIMEOUT)
    {
        return board_test::wait_until([&] { return !find(topic, parts).empty(); }, timeout);
    }

    std::string find(const std::string& topic, const std::vector<std::string>& parts)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [at, payload] : messages_) {
            bool all = at == topic;
            for (const std::string& part : parts)
                all = all && payload.find(part) != std::string::npos;
            if (all)
                return payload;
        }
        return "";
    }

    std::string all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const auto& [topic, payload] : messages_)
            text += topic + " " + payload + "\n";
        return text;
    }

private:
    std::vector<std::string> topics_;
    std::atomic<bool> connected_{false};
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> messages_;
};

// Debian's broker, where its package puts it.
std::string find_mosquitto()
{
    for (const char* candidate : {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (access(candidate, X_OK) == 0)
            return candidate;
    return "";
}

bool port_answers(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}

std::string sha256_of(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    char hex[sizeof digest * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

class MqttServiceTest : public board_test::ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        mosquitto_ = find_mosquitto();
        if (mosquitto_.empty())
            GTEST_SKIP() << "mosquitto (Debian's package) is not installed";
        mosquitto_lib_init();
        broker_port_ = free_tcp_port();
        // Started as root, mosquitto changes to its own user, which a root without maintainer
        // scripts (the armhf stage's) does not have: the test's broker stays who started it.
        write_file("/mqtt/mosquitto.conf", "listener " + std::to_string(broker_port_) +
                                               " 127.0.0.1\nallow_anonymous true\npersistence false\n" +
                                               (geteuid() == 0 ? "user root\n" : ""));
        start_broker();
    }

    void TearDown() override
    {
        broker_.kill_now(SIGKILL);
        if (!mosquitto_.empty())
            mosquitto_lib_cleanup();
        ServiceTest::TearDown();
    }

    void start_broker()
    {
        broker_.start({mosquitto_, "-c", path("/mqtt/mosquitto.conf")}, path("/mqtt/broker.log"));
        ASSERT_TRUE(board_test::wait_until([&] { return port_answers(broker_port_); }, STEP_TIMEOUT)) << broker_.log();
    }

    std::string broker_url() const { return "mqtt://127.0.0.1:" + std::to_string(broker_port_); }

    // A simulated board of its own in ROOT/NAME, with a service for the cabinet NAME.
    struct cabinet {
        std::string name, root;
        child sim, service;
    };

    // Simulated boards, cab0, cab1, ..., started together.
    void start_boards(std::span<cabinet> cabs)
    {
        for (size_t i = 0; i < cabs.size(); i++) {
            cabs[i].name = "cab" + std::to_string(i);
            cabs[i].root = path("/" + cabs[i].name);
            fs::create_directories(cabs[i].root + "-tmp");
            cabs[i].sim.start({SIM_PROGRAM, "--root", cabs[i].root, "--no-window", "run"}, cabs[i].root + "-sim.log");
        }
        for (cabinet& cab : cabs)
            ASSERT_TRUE(cab.sim.wait_for_log("Tavimoro V", START_TIMEOUT)) << cab.sim.log();
    }

    void start_services(std::span<cabinet> cabs)
    {
        for (cabinet& cab : cabs)
            cab.service.start({HOST_TOOL, "serve", "-d", cab.root + "/sim/host.sock", "--listen", "off", "--mqtt",
                               broker_url(), "--cabinet", cab.name},
                              cab.root + "-service.log",
                              // Each service on its own socket: one host, one service, one board.
                              {"TMPDIR=" + cab.root + "-tmp", "TAVIMORO_SERVICE_SOCKET=" + cab.root + "-service.sock"});
        for (cabinet& cab : cabs)
            ASSERT_TRUE(cab.service.wait_for_log("tavimoro-host serve: ready", START_TIMEOUT)) << cab.service.log();
    }

    std::string mosquitto_;
    int broker_port_ = 0;
    child broker_;
};

// Three cabinets on one broker: each board shows what its own topic named, a group command
// reaches all, the states are retained, and a service killed outright leaves its will.
TEST_F(MqttServiceTest, ThreeCabinetsOnOneBroker)
{
    cabinet cabs[3];
    ASSERT_NO_FATAL_FAILURE(start_boards(cabs));
    ASSERT_NO_FATAL_FAILURE(start_services(cabs));
    listener watch(broker_port_, {"tavimoro/+/state", "tavimoro/+/result"});
    for (cabinet& cab : cabs)
        ASSERT_TRUE(watch.wait_for("tavimoro/" + cab.name + "/state", {"\"online\":true"})) << watch.all();

    for (cabinet& cab : cabs)
        watch.publish("tavimoro/" + cab.name + "/cmd/game",
                      R"({"rom":"/roms/arcade/game of )" + cab.name + R"(.zip","title":"Game","id":"n1"})");
    for (cabinet& cab : cabs) {
        EXPECT_TRUE(cab.sim.wait_for_log("banner_info.romname=game of " + cab.name + "\n", STEP_TIMEOUT))
            << cab.sim.log();
        EXPECT_TRUE(watch.wait_for("tavimoro/" + cab.name + "/result", {"\"id\":\"n1\"", "\"status\":0"})) << watch.all();
    }
    for (cabinet& cab : cabs)
        for (cabinet& other : cabs)
            EXPECT_TRUE(&other == &cab || cab.sim.log().find("game of " + other.name) == std::string::npos)
                << cab.sim.log();

    watch.publish("tavimoro/all/cmd/game", R"({"rom":"/roms/arcade/everyone.zip"})");
    for (cabinet& cab : cabs)
        EXPECT_TRUE(cab.sim.wait_for_log("banner_info.romname=everyone\n", STEP_TIMEOUT)) << cab.sim.log();

    // A client that comes later is given each cabinet's state as retained.
    listener late(broker_port_, {"tavimoro/+/state"});
    for (cabinet& cab : cabs)
        EXPECT_TRUE(late.wait_for("tavimoro/" + cab.name + "/state",
                                  {"\"online\":true", "\"cabinet\":\"" + cab.name + "\"", "everyone"}))
            << late.all();

    cabs[2].service.kill_now(SIGKILL);
    EXPECT_TRUE(watch.wait_for("tavimoro/cab2/state", {"\"online\":false"})) << watch.all();
    listener after(broker_port_, {"tavimoro/cab2/state"});
    EXPECT_TRUE(after.wait_for("tavimoro/cab2/state", {"\"online\":false", "\"cabinet\":\"cab2\""})) << after.all();
}

// The services come up before their broker, and find it; then it goes away and comes back
// without its memory: they connect again, publish their state again, and take the commands
// published since.
TEST_F(MqttServiceTest, BrokerRestartedMidway)
{
    cabinet cabs[2];
    ASSERT_NO_FATAL_FAILURE(start_boards(cabs));
    broker_.kill_now(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(start_services(cabs));
    ASSERT_NO_FATAL_FAILURE(start_broker());
    {
        listener watch(broker_port_, {"tavimoro/+/state"});
        for (cabinet& cab : cabs)
            ASSERT_TRUE(watch.wait_for("tavimoro/" + cab.name + "/state", {"\"online\":true"})) << watch.all();
    }
    broker_.kill_now(SIGKILL);
    for (cabinet& cab : cabs)
        ASSERT_TRUE(cab.service.wait_for_log("lost the broker", STEP_TIMEOUT)) << cab.service.log();
    ASSERT_NO_FATAL_FAILURE(start_broker());

    listener watch(broker_port_, {"tavimoro/+/state"});
    for (cabinet& cab : cabs)
        ASSERT_TRUE(watch.wait_for("tavimoro/" + cab.name + "/state", {"\"online\":true"}, 2 * STEP_TIMEOUT))
            << watch.all() << cabs[0].service.log();
    watch.publish("tavimoro/all/cmd/game", R"({"rom":"/roms/arcade/after restart.zip"})");
    for (cabinet& cab : cabs)
        EXPECT_TRUE(cab.sim.wait_for_log("banner_info.romname=after restart\n", STEP_TIMEOUT)) << cab.sim.log();
}

// What a single service on the fixture's board is given that it must refuse, each answered with a
// reason, nothing written outside its own temporary folder, and it goes on: then a picture
// fetched by its address and checked by its SHA-256.
TEST_F(MqttServiceTest, HostilePayloadsAreRefused)
{
    ASSERT_NO_FATAL_FAILURE(start_player());
    const std::string picture = path("/www/picture.png");
    ASSERT_EQ(make_sample_picture(picture, 640, 120, "FETCHED", 0x40A040), 0);
    httplib::Server web;
    web.Get("/picture.png", [&](const httplib::Request&, httplib::Response& response) {
        std::ifstream in(picture, std::ios::binary);
        response.set_content(std::string(std::istreambuf_iterator<char>(in), {}), "image/png");
    });
    // Declares more than the service fetches; it must not wait for the bytes.
    web.Get("/huge", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider((1ull << 30) + 1, "application/octet-stream",
                                      [](size_t, size_t length, httplib::DataSink& sink) {
                                          std::string zeros(std::min<size_t>(length, 65536), '\0');
                                          return sink.write(zeros.data(), zeros.size());
                                      });
    });
    int web_port = web.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { web.listen_after_bind(); });
    const std::string site = "http://127.0.0.1:" + std::to_string(web_port);

    ASSERT_NO_FATAL_FAILURE(start_service("--listen off --mqtt " + broker_url() + " --cabinet box"));
    listener watch(broker_port_, {"tavimoro/box/result"});
    ASSERT_TRUE(board_test::wait_until([&] { return service_log().find("connected to the broker") != std::string::npos; },
                                       STEP_TIMEOUT))
        << service_log();
    const std::string temp = path("/sim/service-tmp");
    struct hostile {
        const char* what;
        std::string command, payload, reason;
    } cases[] = {
        {"oversized", "game", "{\"title\":\"" + std::string(SERVICE_COMMAND_MAX, 'x') + "\"}", "longer than"},
        {"malformed", "game", "{\"title\":", "not a JSON object"},
        {"not an object", "game", "[1,2]", "not a JSON object"},
        {"url of a wrong type", "package", R"({"url":7})", "strings"},
        {"field of a wrong type", "game", R"({"title":5})", "wrong type"},
        {"unknown command", "reboot", "{}", "unknown command"},
        {"a url where none goes", "game", R"({"url":"http://127.0.0.1/x"})", "no field 'url'"},
        {"a file's field of a wrong type", "file", R"({"url":"http://127.0.0.1:1/x","name":5})", "wrong type"},
        {"no url", "package", "{}", "\\\"url\\\""},
        {"not http", "package", R"({"url":"file:///etc/passwd"})", "only an http://"},
        {"https", "firmware", R"({"url":"https://127.0.0.1/fw.img"})", "only an http://"},
        {"too large", "package", R"({"url":")" + site + R"(/huge"})", "larger than"},
        {"not found", "file", R"({"url":")" + site + R"(/nothing","name":"x.png"})", "HTTP status 404"},
        {"wrong SHA-256", "image", R"({"url":")" + site + R"(/picture.png","sha256":")" + std::string(64, '0') + "\"}",
         "SHA-256"},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].what);
        std::string id = "h" + std::to_string(i);
        std::vector<std::string> expected = {"\"command\":\"" + cases[i].command + "\"", "\"status\":2", cases[i].reason};
        // A command read as a JSON object of a bearable size has its id back.
        std::string payload = cases[i].payload;
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(payload.c_str()), cJSON_Delete);
        if (payload.size() <= SERVICE_COMMAND_MAX && cJSON_IsObject(json.get())) {
            payload.insert(1, "\"id\":\"" + id + "\"" + (payload.size() > 2 ? "," : ""));
            expected.push_back("\"id\":\"" + id + "\"");
        }
        watch.publish("tavimoro/box/cmd/" + cases[i].command, payload);
        EXPECT_TRUE(watch.wait_for("tavimoro/box/result", expected)) << watch.all() << service_log();
    }
    watch.publish("tavimoro/box/cmd/image",
                  R"({"id":"ok","url":")" + site + R"(/picture.png","sha256":")" + sha256_of(picture) + "\"}");
    EXPECT_TRUE(watch.wait_for("tavimoro/box/result", {"\"id\":\"ok\"", "\"status\":0"})) << watch.all() << service_log();
    web.stop();
    serving.join();
    // Every fetched or refused file is gone from the service's folder.
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp))
        EXPECT_FALSE(entry.is_regular_file()) << entry.path();
    EXPECT_EQ(stop_service(), 0) << service_log();
}

// Recalbox's EmulationStation as it publishes its events: the state file written first (CR LF),
// then the event's bare name on its topic. The band follows the system, a demo game, and back.
TEST_F(MqttServiceTest, RecalboxEventsAreFollowed)
{
    ASSERT_NO_FATAL_FAILURE(start_player());
    const std::string state = path("/recalbox/es_state.inf");
    ASSERT_NO_FATAL_FAILURE(start_service("--listen off --recalbox=127.0.0.1:" + std::to_string(broker_port_) +
                                          " --recalbox-state " + state));
    ASSERT_TRUE(board_test::wait_until([&] { return service_log().find("connected to the broker") != std::string::npos; },
                                       STEP_TIMEOUT))
        << service_log();
    listener recalbox(broker_port_, {});
    auto write_state = [&](const std::string& action, const std::string& keys) {
        write_file("/recalbox/es_state.inf",
                   "Version=2.0\r\nAction=" + action + "\r\nActionData=\r\n" + keys + "State=selected\r\n");
    };
    auto event = [&](const std::string& action, const std::string& keys) {
        write_state(action, keys);
        recalbox.publish("Recalbox/EmulationStation/Event", action);
    };
    const std::string demo = "System=Super Nintendo\r\nSystemId=snes\r\nGame=Star Fighter\r\n"
                             "GamePath=/recalbox/share/roms/snes/Star Fighter (Europe).sfc\r\nImagePath=\r\nIsFolder=0\r\n";
    size_t mark = log().size();
    event("systembrowsing", "System=Super Nintendo\r\nSystemId=snes\r\nGame=\r\nGamePath=\r\nImagePath=\r\n");
    EXPECT_TRUE(wait_for_log("banner_info.romname=@snes\n", STEP_TIMEOUT, mark)) << log() << service_log();
    // A cursor's event whose state file the demo's event already rewrote is left to that event:
    // taken, it would make the demo's game the owner's selection.
    write_state("rundemo", demo);
    mark = log().size();
    recalbox.publish("Recalbox/EmulationStation/Event", "gamelistbrowsing");
    recalbox.publish("Recalbox/EmulationStation/Event", "rundemo");
    EXPECT_TRUE(wait_for_log("banner_info.romname=Star Fighter (Europe)\n", STEP_TIMEOUT, mark)) << log();
    // The end of the demo, sleep (the board's own banner: a message with nothing in it) and
    // waking up each come back to the selection or leave it.
    const std::string nothing = "System=\r\nSystemId=\r\nGame=\r\nGamePath=\r\nImagePath=\r\n";
    for (const auto& [action, shown] : {std::pair{"enddemo", "@snes"}, {"sleep", ""}, {"wakeup", "@snes"}}) {
        mark = log().size();
        event(action, nothing);
        EXPECT_TRUE(wait_for_log(std::string("banner_info.romname=") + shown + "\n", STEP_TIMEOUT, mark))
            << action << log() << service_log();
    }
    EXPECT_EQ(stop_service(), 0) << service_log();
}

// RetroArch's network commands from a stand-in that answers GET_STATUS as command.c does: nothing
// while contentless, the content once when it starts (paused or not), again when it starts again.
TEST_F(MqttServiceTest, RetroArchContentIsNamed)
{
    ASSERT_NO_FATAL_FAILURE(start_player());
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::mutex mutex;
    std::string status = "GET_STATUS CONTENTLESS";
    int asked = 0;
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        timeval wait{0, 100000};
        setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char request[64];
        while (!stop) {
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            ssize_t size = recvfrom(udp, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
            if (size != 10 || std::string(request, 10) != "GET_STATUS")
                continue;
            std::lock_guard<std::mutex> lock(mutex);
            asked++;
            sendto(udp, status.data(), status.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
        }
    });
    auto answer = [&](const std::string& reply) {
        std::lock_guard<std::mutex> lock(mutex);
        status = reply;
    };
    auto times_asked = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return asked;
    };
    auto named = [&](const std::string& text) {
        std::string all = log();
        size_t count = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            count++;
        return count;
    };
    const std::string shown = "banner_info.romname=Dr. Mario, Deluxe (USA)\n";
    ASSERT_NO_FATAL_FAILURE(
        start_service("--listen off --retroarch=127.0.0.1:" + std::to_string(ntohs(address.sin_port))));
    EXPECT_TRUE(board_test::wait_until([&] { return times_asked() >= 2; }, STEP_TIMEOUT));
    answer("GET_STATUS PLAYING super_nes,Dr. Mario, Deluxe (USA),crc32=1a2b3c4d\n");
    EXPECT_TRUE(wait_for_log(shown, STEP_TIMEOUT)) << log() << service_log();
    answer("GET_STATUS PAUSED super_nes,Dr. Mario, Deluxe (USA),crc32=1a2b3c4d\n");
    int now = times_asked();
    EXPECT_TRUE(board_test::wait_until([&] { return times_asked() >= now + 2; }, STEP_TIMEOUT));
    EXPECT_EQ(named(shown), 1u) << log();
    answer("GET_STATUS CONTENTLESS");
    now = times_asked();
    EXPECT_TRUE(board_test::wait_until([&] { return times_asked() >= now + 2; }, STEP_TIMEOUT));
    answer("GET_STATUS PLAYING super_nes,Dr. Mario, Deluxe (USA),crc32=1a2b3c4d\n");
    EXPECT_TRUE(board_test::wait_until([&] { return named(shown) == 2; }, STEP_TIMEOUT)) << log();
    auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_service(), 0) << service_log();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, board_test::slow_build_bound(3s));
    stop = true;
    responder.join();
    close(udp);
}

} // namespace
