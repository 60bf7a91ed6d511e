// End-to-end figures of the real program on the virtual kit, against the token-service
// simulator on loopback, and side by side with the baselines a user would compare it
// with. Figures only, no pass/fail. Needs a display (scripts/bench-e2e starts a
// private Xvfb).
//
//   start            exec -> main window mapped on the X server, and the peak resident
//                    memory of the whole process: the real program (quillon, on a served
//                    virtual kit) against a bare Qt dialog of the same size and widgets
//   service call     one ReviseEkey call against a bare libcurl POST of the same request
//                    bytes to the same server (the simulator, and a minimal loopback
//                    server that only answers), with a new connection per call as the
//                    program makes it and over a kept connection
//
//   key latency      report written to the receiver's node -> paint event of the
//                    window with that key highlighted
//   token verdict    first code of the token frame written -> verdict label repainted
//   idle CPU         user + system time of the whole process over a quiet period with
//                    both receivers present
//   exit             "退出" clicked -> dialog ended (receiver threads joined)
//   memory           resident set size after start and its peak

#include <curl/curl.h>
#include <expat.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/app.h"
#include "service/http_transport.h"
#include "service/status.h"
#include "tests/service/loopback_server.h"
#include "tools/quillon_demo/kit_rig.h"
#include "tools/token_service_sim/token_model.h"
#include "tools/virtual_kit/virtual_remote.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const QString kVerified = QString::fromUtf8("令匙验证通过");

#ifndef QUILLON_EXE
#define QUILLON_EXE "quillon"
#endif
#ifndef QUILLON_BARE_DIALOG_EXE
#define QUILLON_BARE_DIALOG_EXE "bench_bare_dialog"
#endif

// BENCH_PARTS: a comma-separated choice of start, calls and window; unset: all.
bool PartWanted(const char* part) {
    const char* parts = std::getenv("BENCH_PARTS");
    if (parts == nullptr || *parts == '\0')
        return true;
    const std::string list = "," + std::string(parts) + ",";
    return list.find("," + std::string(part) + ",") != std::string::npos;
}

int Samples(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void PrintStats(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%-34s no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    };
    std::printf("%-34s median %7.2f ms   p99 %7.2f ms   max %7.2f ms   (n=%zu)\n", what, at(0.5),
                at(0.99), ms.back(), ms.size());
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Records when a widget gets a paint event while `ready` holds.
class PaintWatch : public QObject {
public:
    PaintWatch(QWidget* w, std::function<bool()> ready) : m_ready(std::move(ready)) {
        w->installEventFilter(this);
    }
    void Arm() { m_at.reset(); }
    const std::optional<Clock::time_point>& At() const { return m_at; }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && !m_at && m_ready())
            m_at = Clock::now();
        return false;
    }

private:
    std::function<bool()> m_ready;
    std::optional<Clock::time_point> m_at;
};

void MeasureKeys(KitRig& rig, CMainDlg& dlg, int samples) {
    // Two keys in turn: each report is a new key, so each one changes the highlight.
    const IrScanCode codes[2] = {*IrCodeForKey(49), *IrCodeForKey(50)};
    const KeyId keys[2] = {49, 50};
    KeyId expected = 0;
    PaintWatch watch(&dlg, [&] { return dlg.HighlightedKey() == expected; });
    std::vector<double> ms;
    bool toggle = false;
    for (int i = 0; i < samples; ++i) {
        expected = keys[i % 2];
        toggle = !toggle;
        watch.Arm();
        const auto t0 = Clock::now();
        rig.kit.SendIr(static_cast<IrScanCode>(codes[i % 2] | (toggle ? 0x8000 : 0)));
        if (!ProcessEventsUntil([&] { return watch.At().has_value(); }, 2s))
            continue;
        ms.push_back(Ms(*watch.At() - t0));
    }
    PrintStats("key report -> highlighted repaint", ms);
    // Let the last key's highlight run out before the next measurement.
    ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, 2s);
}

void MeasureToken(CMainDlg& dlg, const std::vector<std::unique_ptr<VirtualRemote>>& tokens) {
    auto* verdict = dlg.findChild<QLabel*>("verifyResultLabel");
    auto* clear = dlg.findChild<QPushButton*>("clearButton");
    PaintWatch watch(verdict, [&] { return verdict->text() == kVerified; });
    std::vector<double> ms;
    std::vector<double> refused;
    for (const auto& token : tokens) {
        clear->click();
        ProcessEventsUntil([&] { return verdict->text().isEmpty(); }, 2s);
        std::atomic<bool> first{true};
        Clock::time_point t0{};
        token->SetSentHook([&](const VirtualRemote::Sent& s) {
            if (first.exchange(false))
                t0 = s.at;
        });
        watch.Arm();
        token->PressTokenKey();
        if (!ProcessEventsUntil(
                [&] {
                    return watch.At().has_value() ||
                           (!verdict->text().isEmpty() && verdict->text() != kVerified);
                },
                5s)) {
            continue;
        }
        token->WaitIdle();
        if (watch.At()) {
            ms.push_back(Ms(*watch.At() - t0));
        } else {
            refused.push_back(0);
        }
    }
    PrintStats("token press -> verdict on screen", ms);
    std::printf("%-34s (%lld ms of it is the frame itself: 13 gaps of %lld ms between codes)\n", "",
                static_cast<long long>(13 * VirtualRemote::kTokenCodeGap.count()),
                static_cast<long long>(VirtualRemote::kTokenCodeGap.count()));
    if (!refused.empty())
        std::printf("%-34s %zu press(es) not verified (left out)\n", "", refused.size());
}

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Top-level windows as the X server maps them, through a connection of our own that
// listens on the root window (there is no window manager on the bench's Xvfb).
class MapWatch {
public:
    MapWatch() {
        m_conn = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_conn) != 0)
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_conn, m_root, XCB_CW_EVENT_MASK, &mask);
        const char name[] = "_NET_WM_PID";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            m_conn, xcb_intern_atom(m_conn, 0, sizeof name - 1, name), nullptr);
        if (atom != nullptr) {
            m_pidAtom = atom->atom;
            std::free(atom);
        }
        xcb_flush(m_conn);
    }
    ~MapWatch() { xcb_disconnect(m_conn); }
    MapWatch(const MapWatch&) = delete;
    MapWatch& operator=(const MapWatch&) = delete;

    bool Ok() const { return xcb_connection_has_error(m_conn) == 0 && m_pidAtom != 0; }

    // When a window of `pid` was mapped; nothing on time-out.
    std::optional<Clock::time_point> WaitMapped(pid_t pid, std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            while (xcb_generic_event_t* ev = xcb_poll_for_event(m_conn)) {
                const auto at = Clock::now();
                const bool mapped = (ev->response_type & 0x7F) == XCB_MAP_NOTIFY;
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(ev);
                const bool ours =
                    mapped && map->override_redirect == 0 && PidOf(map->window) == pid;
                std::free(ev);
                if (ours)
                    return at;
            }
            pollfd p{xcb_get_file_descriptor(m_conn), POLLIN, 0};
            ::poll(&p, 1, 20);
        }
        return std::nullopt;
    }

private:
    pid_t PidOf(xcb_window_t window) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            m_conn, xcb_get_property(m_conn, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1),
            nullptr);
        pid_t pid = -1;
        if (reply != nullptr && xcb_get_property_value_length(reply) == 4)
            pid = static_cast<pid_t>(*static_cast<std::uint32_t*>(xcb_get_property_value(reply)));
        std::free(reply);
        return pid;
    }

    xcb_connection_t* m_conn = nullptr;
    xcb_window_t m_root = 0;
    xcb_atom_t m_pidAtom = 0;
};

struct StartRun {
    double ms = 0;    // exec -> window mapped
    long peakKb = 0;  // the process's peak resident memory
    bool ok = false;
};

// Starts `exe` in `dir` with `env` added, waits for its window, lets `settle` run,
// ends it with SIGTERM and reads its peak memory from the kernel's accounting.
StartRun TimeStart(MapWatch& watch, const std::string& exe, const std::vector<std::string>& env,
                   const std::string& dir, const std::function<void()>& settle) {
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e)
        vars.emplace_back(*e);
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string program = exe;
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    StartRun run;
    pid_t pid = -1;
    const auto t0 = Clock::now();
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    const auto mapped = watch.WaitMapped(pid, 20s);
    if (mapped) {
        run.ms = Ms(*mapped - t0);
        settle();
    }
    ::kill(pid, mapped ? SIGTERM : SIGKILL);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.peakKb = usage.ru_maxrss;
    run.ok = mapped.has_value();
    return run;
}

void MeasureStart(const std::string& simulatorEndpoint, int runs) {
    MapWatch watch;
    if (!watch.Ok()) {
        std::printf("start and memory: no X connection for watching windows\n");
        return;
    }
    // The real program on a kit of its own, served to it through Unix sockets; no
    // system bus, so the maker's service is left alone.
    VirtualKit kit(KitNodes::Served);
    kit.PlugIr();
    kit.PlugGame();
    const std::string dir = kit.Bus().TempRoot() + "/start";
    std::filesystem::create_directories(dir + "/config/quillon");
    std::filesystem::create_directories(dir + "/run");
    ::chmod((dir + "/run").c_str(), 0700);
    std::ofstream(dir + "/config/quillon/quillon.conf")
        << "endpoint = " << simulatorEndpoint << "\n";
    const std::vector<std::string> env = {
        "QUILLON_SYSFS_ROOT=" + kit.Bus().SysRoot(), "QUILLON_DEV_ROOT=" + kit.Bus().DevRoot(),
        "XDG_CONFIG_HOME=" + dir + "/config", "XDG_RUNTIME_DIR=" + dir + "/run",
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir + "/no-bus"};
    std::vector<double> quillonMs, bareMs, quillonKb, bareKb;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        // Both receivers opened, as a user sees the status lines, then a moment more.
        const int irOpens = kit.IrOpens(), gameOpens = kit.GameOpens();
        const StartRun q = TimeStart(watch, QUILLON_EXE, env, dir, [&] {
            kit.WaitForIrOpens(irOpens + 1, 5s);
            kit.WaitForGameOpens(gameOpens + 1, 5s);
            std::this_thread::sleep_for(500ms);
        });
        const StartRun b = TimeStart(watch, QUILLON_BARE_DIALOG_EXE, {}, dir,
                                     [] { std::this_thread::sleep_for(500ms); });
        if (!q.ok || !b.ok) {
            ++failed;
            continue;
        }
        quillonMs.push_back(q.ms);
        bareMs.push_back(b.ms);
        quillonKb.push_back(static_cast<double>(q.peakKb));
        bareKb.push_back(static_cast<double>(b.peakKb));
    }
    std::printf("start and memory, side by side (median of %zu runs%s)\n", quillonMs.size(),
                failed > 0 ? (", " + std::to_string(failed) + " failed").c_str() : "");
    if (quillonMs.empty())
        return;
    const double qs = Median(quillonMs), bs = Median(bareMs);
    const double qk = Median(quillonKb), bk = Median(bareKb);
    std::printf("  %-32s %9s %14s\n", "", "quillon", "bare dialog");
    std::printf("  %-32s %6.1f ms %11.1f ms   ratio %.2f\n", "exec -> window mapped", qs, bs,
                bs > 0 ? qs / bs : 0.0);
    std::printf("  %-32s %6.1f MB %11.1f MB   ratio %.2f (%+.1f MB)\n", "peak resident memory",
                qk / 1024, bk / 1024, bk > 0 ? qk / bk : 0.0, (qk - bk) / 1024);
}

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// The request a user would write with libcurl to compare: the bytes our client puts
// on the wire, the reply read whole and not looked at; or, with `parse`, also read by
// expat as our client does (namespaces on, no handlers), to show what is left.
class BarePost {
public:
    BarePost(const std::string& url, std::string body, bool parse = false)
        : m_url(url), m_body(std::move(body)), m_parse(parse) {
        const std::string length = "Content-Length: " + std::to_string(m_body.size());
        const std::string action =
            "SOAPAction: \"" + std::string(ServiceNamespaceUri()) + "ReviseEkey\"";
        for (const std::string& line :
             {std::string("Accept: text/*"), length, std::string("Connection: Keep-Alive"), action,
              std::string("Content-Type: text/xml; charset=utf-8"), std::string("Expect:")}) {
            m_headers = curl_slist_append(m_headers, line.c_str());
        }
    }
    ~BarePost() {
        if (m_easy != nullptr)
            curl_easy_cleanup(m_easy);
        curl_slist_free_all(m_headers);
    }
    BarePost(const BarePost&) = delete;
    BarePost& operator=(const BarePost&) = delete;

    // keep: the handle, and with it the connection, stays for the next post.
    bool Post(bool keep) {
        if (m_easy == nullptr) {
            m_easy = curl_easy_init();
            curl_easy_setopt(m_easy, CURLOPT_URL, m_url.c_str());
            curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_0});
            curl_easy_setopt(m_easy, CURLOPT_USERAGENT, "VCSoapClient");
            curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
            curl_easy_setopt(m_easy, CURLOPT_POSTFIELDS, m_body.data());
            curl_easy_setopt(m_easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(m_body.size()));
            curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &Collect);
            curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, &m_reply);
        }
        m_reply.clear();
        bool ok = curl_easy_perform(m_easy) == CURLE_OK;
        if (ok && m_parse) {
            XML_Parser parser = XML_ParserCreateNS(nullptr, '\x01');
            ok = XML_Parse(parser, m_reply.data(), static_cast<int>(m_reply.size()), XML_TRUE) ==
                 XML_STATUS_OK;
            XML_ParserFree(parser);
        }
        if (!keep) {
            curl_easy_cleanup(m_easy);
            m_easy = nullptr;
        }
        return ok;
    }

private:
    std::string m_url;
    std::string m_body;
    bool m_parse;
    curl_slist* m_headers = nullptr;
    CURL* m_easy = nullptr;
    std::string m_reply;
};

struct CallPair {
    double oursUs = 0;  // wall time per call
    double bareUs = 0;
    double parsedUs = 0;   // bare libcurl, then expat over the reply
    double oursCpuUs = 0;  // this thread's CPU time per call: the client's own work
    double bareCpuUs = 0;
    double parsedCpuUs = 0;
    int failures = 0;
};

Clock::duration ThreadCpu() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// Calls in interleaved blocks, so a change in the machine's load hits both alike.
CallPair TimeCalls(const std::string& url, bool keep, int calls) {
    constexpr int kBlock = 50;
    const std::u16string serial = u"123456789", password = u"00000000";
    std::string body;
    WriteReviseEkeyRequest({serial.c_str(), password.c_str(), password.c_str(), 0},
                           ServiceNamespaceUri(), body);
    CallPair pair;
    Clock::duration ours{}, bare{}, parsed{}, oursCpu{}, bareCpu{}, parsedCpu{};
    for (int done = 0; done < calls; done += kBlock) {
        {
            // As the flows do: a client per call, unless the connection is kept.
            std::optional<CUserAndHardwareService> kept;
            const auto c0 = ThreadCpu();
            const auto t0 = Clock::now();
            for (int i = 0; i < kBlock; ++i) {
                std::optional<CUserAndHardwareService> fresh;
                CUserAndHardwareService& client =
                    keep ? (kept ? *kept : kept.emplace(url)) : fresh.emplace(url);
                std::int32_t result = 0;
                if (client.ReviseEkey(serial.c_str(), password.c_str(), password.c_str(),
                                      &result) != S_OK) {
                    ++pair.failures;
                }
            }
            ours += Clock::now() - t0;
            oursCpu += ThreadCpu() - c0;
        }
        for (const bool parse : {false, true}) {
            BarePost post(url, body, parse);
            const auto c0 = ThreadCpu();
            const auto t0 = Clock::now();
            for (int i = 0; i < kBlock; ++i) {
                if (!post.Post(keep))
                    ++pair.failures;
            }
            (parse ? parsed : bare) += Clock::now() - t0;
            (parse ? parsedCpu : bareCpu) += ThreadCpu() - c0;
        }
    }
    const double n = static_cast<double>((calls + kBlock - 1) / kBlock * kBlock);
    pair.oursUs = std::chrono::duration<double, std::micro>(ours).count() / n;
    pair.bareUs = std::chrono::duration<double, std::micro>(bare).count() / n;
    pair.oursCpuUs = std::chrono::duration<double, std::micro>(oursCpu).count() / n;
    pair.bareCpuUs = std::chrono::duration<double, std::micro>(bareCpu).count() / n;
    pair.parsedUs = std::chrono::duration<double, std::micro>(parsed).count() / n;
    pair.parsedCpuUs = std::chrono::duration<double, std::micro>(parsedCpu).count() / n;
    return pair;
}

void MeasureCalls(const std::string& simulatorEndpoint, int calls) {
    LoopbackServer server;
    server.SetDefaultReply(
        {{LoopbackServer::Http(200, ReviseEkeyReplyBody("21003"), "Connection: keep-alive\r\n")}});
    // The same bytes on the wire, checked on the loopback server's record of them.
    {
        CUserAndHardwareService client(server.Url());
        std::int32_t result = 0;
        client.ReviseEkey(u"123456789", u"00000000", u"00000000", &result);
    }
    {
        std::string body;
        WriteReviseEkeyRequest({u"123456789", u"00000000", u"00000000", 0}, ServiceNamespaceUri(),
                               body);
        BarePost(server.Url(), body).Post(false);
    }
    const std::vector<std::string> requests = server.Requests();
    const bool same = requests.size() == 2 && requests[0] == requests[1];
    std::printf(
        "one ReviseEkey call against a bare libcurl POST (%s request bytes; %d calls each)\n",
        same ? "identical" : "DIFFERENT", calls);
    std::printf("  ratio: ReviseEkey over bare libcurl; in brackets over bare libcurl + expat\n");
    std::printf("  %-24s %-13s %-36s %-36s\n", "", "", "wall time per call", "client CPU per call");
    std::printf("  %-24s %-13s %9s %9s %7s %8s  %9s %9s %7s %8s\n", "server", "connection",
                "ReviseEkey", "libcurl", "ratio", "(+expat)", "ReviseEkey", "libcurl", "ratio",
                "(+expat)");
    for (const auto& [name, url] :
         {std::pair<const char*, std::string>{"token-service simulator", simulatorEndpoint},
          std::pair<const char*, std::string>{"answer-only loopback", server.Url()}}) {
        const bool simulator = url == simulatorEndpoint;
        for (const bool keep : {false, true}) {
            // The simulator answers on a kept connection only after some 27 ms (the
            // program never keeps one); fewer calls do there.
            const CallPair p =
                TimeCalls(url, keep, simulator && keep ? std::max(50, calls / 20) : calls);
            auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
            std::printf(
                "  %-24s %-13s %7.1f us %6.1f us %7.3f (%5.3f)  %7.1f us %6.1f us %7.3f "
                "(%5.3f)%s\n",
                name, keep ? "kept" : "new per call", p.oursUs, p.bareUs, ratio(p.oursUs, p.bareUs),
                ratio(p.oursUs, p.parsedUs), p.oursCpuUs, p.bareCpuUs,
                ratio(p.oursCpuUs, p.bareCpuUs), ratio(p.oursCpuUs, p.parsedCpuUs),
                p.failures > 0 ? (" (" + std::to_string(p.failures) + " failed)").c_str() : "");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int keySamples = Samples("BENCH_KEY_SAMPLES", 300);
    const int tokenSamples = Samples("BENCH_TOKEN_SAMPLES", 20);
    const int idleSeconds = Samples("BENCH_IDLE_SECONDS", 30);
    const int startRuns = Samples("BENCH_START_RUNS", 7);
    const int calls = Samples("BENCH_CALLS", 2000);
    ::setenv("no_proxy", "127.0.0.1", 1);

    KitRig rig;
    // One token per verification: the service takes each password once, so a single
    // token could verify only once per 30-second step.
    std::vector<std::unique_ptr<VirtualRemote>> tokens;
    for (int i = 0; i < tokenSamples; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "9000%05d", i);
        VirtualToken token = DemoToken();
        token.serial = serial;
        token.secret.push_back(static_cast<std::uint8_t>(i));
        const std::string hex = quillon::tokensim::EncodeHex(token.secret);
        if (!RunCommand({KitRig::DefaultSimulator(), "--state", rig.StateFile(), "--add-token",
                         serial, hex})) {
            std::fprintf(stderr, "bench_e2e: cannot add token %s\n", serial);
            return 1;
        }
        tokens.push_back(std::make_unique<VirtualRemote>(rig.kit, std::move(token)));
    }
    std::string error;
    if (!rig.Start(KitRig::DefaultSimulator(), &error)) {
        std::fprintf(stderr, "bench_e2e: %s\n", error.c_str());
        return 1;
    }
    const std::filesystem::path oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(rig.WorkDir());

    // The baselines first, while this process shows no window of its own.
    if (PartWanted("start"))
        MeasureStart(rig.simulator.Endpoint(), startRuns);
    if (PartWanted("calls"))
        MeasureCalls(rig.simulator.Endpoint(), calls);
    if (!PartWanted("window")) {
        std::filesystem::current_path(oldCwd);
        return 0;
    }

    RecordingServiceControl services(rig.events, false);
    Clock::duration exitTime{};
    QTimer::singleShot(0, [&] {
        CMainDlg* dlg = nullptr;
        ProcessEventsUntil([&] { return (dlg = FindMainDialog()) != nullptr; }, 20s);
        if (dlg == nullptr)
            return;
        ProcessEventsUntil(
            [&] {
                return rig.kit.IrOpens() > 0 && rig.kit.GameOpens() > 0 &&
                       !dlg->findChild<QLabel*>("gameStatusLabel")->text().isEmpty();
            },
            20s);
        std::printf("quillon on the virtual kit, simulator at %s\n",
                    rig.simulator.Endpoint().c_str());
        std::printf("%-34s %ld kB (after start)\n", "resident memory", ProcSelfStatus("VmRSS"));

        MeasureKeys(rig, *dlg, keySamples);
        MeasureToken(*dlg, tokens);

        // Idle: no polling of ours in this period, only the program's own threads.
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        QEventLoop idle;
        QTimer::singleShot(std::chrono::seconds(idleSeconds), &idle, &QEventLoop::quit);
        idle.exec();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("%-34s %.3f %% of one core (%.3f s CPU in %.1f s)\n",
                    "idle CPU, receivers present", 100.0 * (CpuSeconds() - cpu0) / wall,
                    CpuSeconds() - cpu0, wall);
        std::printf("%-34s %ld kB (peak %ld kB)\n", "resident memory", ProcSelfStatus("VmRSS"),
                    ProcSelfStatus("VmHWM"));

        const auto e0 = Clock::now();
        dlg->findChild<QPushButton*>("exitButton")->click();
        exitTime = Clock::now() - e0;
    });
    CQuillonApp app(services, rig.Receivers());
    app.InitInstance();
    std::printf("%-34s %.2f ms\n", "Exit -> dialog ended", Ms(exitTime));
    std::filesystem::current_path(oldCwd);
    tokens.clear();
    return 0;
}
