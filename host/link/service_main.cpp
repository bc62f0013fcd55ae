// tavimoro-host serve: the one long-running process of a gaming host that owns the board's link.
// It reads its options, starts its parts in order (the link's owner, the local socket for the
// one-shot commands, the board watch, HTTP, MQTT, RetroArch), and stops them in reverse on
// SIGTERM or SIGINT.
#include "host/link/service_options.h"
#include "host/link/service_socket.h"
#include "host/link/service_watch.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

bool parse_address(const std::string& text, std::string& host, int& port)
{
    size_t colon = text.rfind(':');
    bool bracketed = !text.empty() && text[0] == '[';
    if (colon == std::string::npos || (bracketed && text.rfind(']') > colon)) {
        host = bracketed ? text.substr(1, text.size() - 2) : text;
        return !host.empty();
    }
    host = bracketed ? text.substr(1, colon - 2) : text.substr(0, colon);
    char* end = nullptr;
    long number = strtol(text.c_str() + colon + 1, &end, 10);
    port = static_cast<int>(number);
    return !host.empty() && *end == '\0' && number > 0 && number < 65536;
}

namespace {

constexpr const char* USAGE = R"(Usage: tavimoro-host serve [OPTIONS]

Runs the host service: it keeps the board's link open (and opens it again when the board is
plugged in again), takes the one-shot commands of tavimoro-host while it runs, and offers an
HTTP API with a live page, MQTT and RetroArch's network commands as sources of events.

Options:
  -d, --device PATH        The board's node or a simulated board's socket (default: searched)
  -s, --serial SN          With several boards, the one with this serial number
  -t, --timeout SEC        How long to wait for each answer of the board (default 5)
  --listen HOST:PORT       Where the HTTP API listens (default 127.0.0.1:8740; "off" for none).
                           Any address but loopback needs --token-file.
  --token-file FILE        The token HTTP clients give (Authorization: Bearer TOKEN)
  --product DIR            The board's product folder as tavimoro-media builds it, for the
                           live page's picture of the band
  --coverage FILE          The coverage page tavimoro-media wrote, linked from the live page
  --mqtt URL               An operator's broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  --cabinet NAME           This cabinet's name under tavimoro/ on that broker
  --group NAME             The group topic it also follows (default all)
  --mqtt-user USER, --mqtt-password-file FILE, --mqtt-cafile FILE
                           The broker's login and the certificate authority for mqtts://
  --recalbox[=HOST[:PORT]] Follow Recalbox's EmulationStation events on its broker
                           (default 127.0.0.1:1883)
  --recalbox-state FILE    Where Recalbox writes its state (default /tmp/es_state.inf)
  --retroarch[=HOST[:PORT]] Ask RetroArch's network commands for the running content once a
                           second (default 127.0.0.1:55355)
  -h, --help               Show this help.
)";

// The first line of a small file of secrets.
bool read_secret(const char* path, std::string& secret)
{
    std::ifstream file(path);
    return std::getline(file, secret) && !secret.empty();
}

int usage_error(const char* what)
{
    fprintf(stderr, "tavimoro-host serve: %s; see tavimoro-host serve --help\n", what);
    return EXIT_USAGE;
}

int parse_options(int argc, char** argv, service_options& opt)
{
    if (const char* device = getenv("TAVIMORO_DEVICE"))
        opt.link.device = device;
    enum { LISTEN = 256, TOKEN_FILE, PRODUCT, COVERAGE, MQTT, CABINET, GROUP, MQTT_USER, MQTT_PASSWORD, MQTT_CAFILE,
           RECALBOX, RECALBOX_STATE, RETROARCH };
    const option longs[] = {
        {"device", required_argument, nullptr, 'd'}, {"serial", required_argument, nullptr, 's'},
        {"timeout", required_argument, nullptr, 't'}, {"help", no_argument, nullptr, 'h'},
        {"listen", required_argument, nullptr, LISTEN}, {"token-file", required_argument, nullptr, TOKEN_FILE},
        {"product", required_argument, nullptr, PRODUCT}, {"coverage", required_argument, nullptr, COVERAGE},
        {"mqtt", required_argument, nullptr, MQTT}, {"cabinet", required_argument, nullptr, CABINET},
        {"group", required_argument, nullptr, GROUP}, {"mqtt-user", required_argument, nullptr, MQTT_USER},
        {"mqtt-password-file", required_argument, nullptr, MQTT_PASSWORD},
        {"mqtt-cafile", required_argument, nullptr, MQTT_CAFILE},
        {"recalbox", optional_argument, nullptr, RECALBOX}, {"recalbox-state", required_argument, nullptr, RECALBOX_STATE},
        {"retroarch", optional_argument, nullptr, RETROARCH}, {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "d:s:t:h", longs, nullptr)) != -1;) {
        switch (c) {
        case 'd': opt.link.device = optarg; break;
        case 's': opt.link.serial = optarg; break;
        case 't': opt.link.timeout_s = atoi(optarg); break;
        case 'h': fputs(USAGE, stdout); exit(0);
        case LISTEN:
            opt.http = strcmp(optarg, "off") != 0;
            if (opt.http && !parse_address(optarg, opt.listen_host, opt.listen_port))
                return usage_error("--listen takes HOST:PORT");
            break;
        case TOKEN_FILE:
            if (!read_secret(optarg, opt.token))
                return usage_error("the token file cannot be read or is empty");
            break;
        case PRODUCT: opt.product = optarg; break;
        case COVERAGE: opt.coverage = optarg; break;
        case MQTT: opt.mqtt_url = optarg; break;
        case CABINET: opt.cabinet = optarg; break;
        case GROUP: opt.group = optarg; break;
        case MQTT_USER: opt.mqtt_user = optarg; break;
        case MQTT_PASSWORD:
            if (!read_secret(optarg, opt.mqtt_password))
                return usage_error("the MQTT password file cannot be read or is empty");
            break;
        case MQTT_CAFILE: opt.mqtt_cafile = optarg; break;
        case RECALBOX:
            opt.recalbox = true;
            if (optarg && !parse_address(optarg, opt.recalbox_host, opt.recalbox_port))
                return usage_error("--recalbox takes HOST[:PORT]");
            break;
        case RECALBOX_STATE: opt.recalbox_state = optarg; break;
        case RETROARCH:
            opt.retroarch = true;
            if (optarg && !parse_address(optarg, opt.retroarch_host, opt.retroarch_port))
                return usage_error("--retroarch takes HOST[:PORT]");
            break;
        default: return EXIT_USAGE;
        }
    }
    if (optind < argc)
        return usage_error("serve takes no arguments, only options");
    if (opt.link.timeout_s <= 0)
        return usage_error("--timeout takes a number of seconds");
    if (opt.mqtt_url.empty() != opt.cabinet.empty())
        return usage_error("--mqtt and --cabinet go together");
    return 0;
}

// The kit's program beside this one, for the live page's picture of the band.
std::string media_tool()
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / TAVIMORO_MEDIA_FROM_SERVICE).lexically_normal();
}

struct part {
    const char* name;
    int (*start)(const service_options&);
    void (*stop)();
};

const part PARTS[] = {
    {"the link", [](const service_options& opt) { return start_service(opt.link); }, stop_service},
    {"the local socket", [](const service_options& opt) { return start_service_socket(opt.link.device); },
     stop_service_socket},
    {"the board watch", [](const service_options& opt) { return start_board_watch(opt.link.device); },
     stop_board_watch},
    {"the HTTP API", start_http, stop_http},
    {"MQTT", start_mqtt, stop_mqtt},
    {"RetroArch's watch", start_retroarch, stop_retroarch},
};

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    set_quiet(true);
    service_options opt;
    if (int bad = parse_options(argc, argv, opt); bad != 0)
        return bad;
    opt.media_tool = media_tool();
    // The signals are taken here, before any thread starts, so that every thread leaves them to
    // the wait below.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    signal(SIGPIPE, SIG_IGN);
    size_t started = 0;
    int status = 0;
    for (; started < std::size(PARTS); started++)
        if (PARTS[started].start(opt) != 0) {
            fprintf(stderr, "tavimoro-host serve: cannot start %s\n", PARTS[started].name);
            status = EXIT_LINK;
            break;
        }
    if (status == 0) {
        printf("tavimoro-host serve: ready\n");
        int signal_number;
        sigwait(&ending, &signal_number);
    }
    while (started > 0)
        PARTS[--started].stop();
    printf("tavimoro-host serve: stopped\n");
    return status;
}
