#include "cli/remote.h"

#include <httplib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>

namespace qx::cli {
namespace {

constexpr int kMaxStreams = 4;       // event streams at once; a handful of clients
constexpr int kServerThreads = 6;    // the streams and a couple of plain requests
constexpr std::size_t kMaxBody = 1024;
constexpr auto kEventInterval = std::chrono::milliseconds(100);

const char* const kPage = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Quorvex</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body{font:14px system-ui,sans-serif;background:#15181d;color:#e4e6ea;margin:0;padding:20px}
h1{font-size:20px;margin:0 0 4px}#state{color:#8a93a0;margin-bottom:16px}
.grid{display:grid;grid-template-columns:repeat(auto-fit,minmax(320px,1fr));gap:16px}
section{background:#1e232a;border-radius:8px;padding:14px 16px}h2{font-size:13px;text-transform:uppercase;
letter-spacing:.06em;color:#8a93a0;margin:0 0 10px}.row{display:grid;grid-template-columns:150px 1fr 70px;
align-items:center;gap:8px;margin:6px 0}.bar{height:12px;background:#2b313a;border-radius:6px;overflow:hidden}
.fill{height:100%;width:0;background:#4caf7a;transition:width .08s}.fill.gr{background:#e0a030}
.fill.clip{background:#e05050}.v{text-align:right;font-variant-numeric:tabular-nums}
.big{font-size:26px;font-variant-numeric:tabular-nums}.lu{display:flex;gap:24px}.lu div span{display:block;
color:#8a93a0;font-size:12px}#presets{display:flex;flex-wrap:wrap;gap:8px}button{background:#2b313a;
color:#e4e6ea;border:1px solid #3a424d;border-radius:6px;padding:7px 12px;font:inherit;cursor:pointer}
button.on{background:#2f6fb0;border-color:#4a8ad0}#current{font-size:18px}
</style></head><body>
<h1>Quorvex</h1><div id="state">connecting...</div>
<div class="grid">
<section><h2>Levels</h2><div id="meters"></div></section>
<section><h2>Output loudness</h2><div class="lu">
<div><span>Short-term</span><b class="big" id="short">-</b> LUFS</div>
<div><span>Integrated</span><b class="big" id="integrated">-</b> LUFS</div>
<div><span>True peak</span><b class="big" id="peak">-</b> dBTP</div></div></section>
<section><h2>Preset</h2><div id="current">-</div><div id="latency"></div></section>
</div>
<section style="margin-top:16px"><h2>Switch preset</h2><div id="presets"></div></section>
<script>
const token = new URLSearchParams(location.search).get('token') || '';
const q = token ? '?token=' + encodeURIComponent(token) : '';
const meters = [['input', 'Input', 100, '%', ''], ['output', 'Output', 100, '%', ''],
  ['agc_gain_low', 'AGC gain low', 40, 'dB', 'gr'], ['agc_gain_high', 'AGC gain high', 40, 'dB', 'gr'],
  ['limiter_reduction', 'Limiter reduction', 12, 'dB', 'gr'], ['clip_level', 'Clip level', 12, 'dB', 'clip']];
const box = document.getElementById('meters');
for (const [key, name, max, unit, kind] of meters)
  box.insertAdjacentHTML('beforeend', `<div class="row"><span>${name}</span><div class="bar">` +
    `<div class="fill ${kind}" id="bar_${key}"></div></div><span class="v" id="val_${key}">-</span></div>`);
const fmt = (v, d) => v === null ? '-' : v.toFixed(d);
let presetIds = '';
function show(s) {
  for (const [key, , max, unit] of meters) {
    const v = s[key];
    document.getElementById('bar_' + key).style.width = Math.max(0, Math.min(100, v / max * 100)) + '%';
    document.getElementById('val_' + key).textContent = fmt(v, 1) + ' ' + unit;
  }
  document.getElementById('short').textContent = fmt(s.short_term_lufs, 1);
  document.getElementById('integrated').textContent = fmt(s.integrated_lufs, 1);
  document.getElementById('peak').textContent = fmt(s.true_peak_dbtp, 1);
  document.getElementById('current').textContent = s.preset_label;
  document.getElementById('latency').textContent = 'latency ' + s.latency_frames + ' frames (' +
    s.latency_ms.toFixed(1) + ' ms)';
  const ids = s.presets.map(p => p.id).join(',');
  if (ids !== presetIds) {
    presetIds = ids;
    const list = document.getElementById('presets');
    list.textContent = '';
    for (const p of s.presets) {
      const b = document.createElement('button');
      b.textContent = p.label;
      b.dataset.id = p.id;
      b.onclick = () => fetch('/api/preset' + q, {method: 'POST', headers: {'Content-Type': 'application/json'},
        body: JSON.stringify({preset: p.id})});
      list.appendChild(b);
    }
  }
  for (const b of document.querySelectorAll('#presets button')) b.classList.toggle('on', +b.dataset.id === s.preset);
}
function connect() {
  const events = new EventSource('/events' + q);
  events.onopen = () => document.getElementById('state').textContent = 'live';
  events.onmessage = e => show(JSON.parse(e.data));
  events.onerror = () => {
    document.getElementById('state').textContent = 'reconnecting...';
    events.close();
    setTimeout(connect, 1000);
  };
}
connect();
</script></body></html>
)HTML";

std::string number(double v, int decimals) {
    if (!std::isfinite(v)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

// The value of "preset" in a small JSON object: a number, or a string such as
// "F4" or "3". False when the body is not such an object.
bool presetInBody(const std::string& body, int32_t& id) {
    const std::size_t key = body.find("\"preset\"");
    if (key == std::string::npos || body.find('{') > key) return false;
    std::size_t at = body.find(':', key);
    if (at == std::string::npos) return false;
    ++at;
    while (at < body.size() && std::isspace(static_cast<unsigned char>(body[at]))) ++at;
    std::string value;
    if (at < body.size() && body[at] == '"') {
        const std::size_t end = body.find('"', at + 1);
        if (end == std::string::npos) return false;
        value = body.substr(at + 1, end - at - 1);
    } else {
        std::size_t end = at;
        while (end < body.size() && (std::isdigit(static_cast<unsigned char>(body[end])) || body[end] == '-')) ++end;
        value = body.substr(at, end - at);
        if (value.empty()) return false;
        const long n = std::strtol(value.c_str(), nullptr, 10);
        if (value.size() > 4 || n < -9 || n > 99) return false;
        id = static_cast<int32_t>(n);
        return true;
    }
    const bool factory = !value.empty() && (value[0] == 'F' || value[0] == 'f');
    const std::string digits = factory ? value.substr(1) : value;
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::stoi(digits);
    id = factory ? 1 - n : n;
    return factory ? (n >= 1 && n <= 10) : (n >= 1 && n <= 99);
}

std::string suppliedToken(const httplib::Request& request) {
    if (request.has_param("token")) return request.get_param_value("token");
    const std::string header = request.get_header_value("Authorization");
    if (header.rfind("Bearer ", 0) == 0) return header.substr(7);
    return {};
}

}  // namespace

bool parseRemoteAddress(const std::string& text, std::string& host, int& port, std::string& error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "--remote " + text + ": expected ADDR:PORT";
        return false;
    }
    host = text.substr(0, colon);
    if (host.empty()) host = "127.0.0.1";
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(digits) > 65535) {
        error = "--remote " + text + ": the port must be a number from 0 to 65535";
        return false;
    }
    port = std::stoi(digits);
    return true;
}

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string generateToken() {
    std::random_device random;
    std::string token;
    char part[16];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        token += part;
    }
    return token;
}

RemoteServer::RemoteServer() = default;

RemoteServer::~RemoteServer() { stop(); }

bool RemoteServer::start(const RemoteConfig& config, std::string& error) {
    config_ = config;
    server_ = std::make_unique<httplib::Server>();
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.set_payload_max_length(kMaxBody);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_max_count(20);

    // Every request carries the token when one is set; nothing else is served
    // than the handlers below (no files).
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (config_.token.empty() || suppliedToken(request) == config_.token)
            return httplib::Server::HandlerResponse::Unhandled;
        response.status = 401;
        response.set_content("{\"error\":\"a valid token is required\"}\n", "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kPage, "text/html; charset=utf-8");
    });
    server.Get("/api/status", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(statusJson() + "\n", "application/json");
    });
    server.Post("/api/preset", [this](const httplib::Request& request, httplib::Response& response) {
        std::string reply;
        response.status = requestPreset(request.body, reply);
        response.set_content(reply, "application/json");
    });
    server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        if (streams_.fetch_add(1) >= kMaxStreams) {
            streams_.fetch_sub(1);
            response.status = 503;
            response.set_content("{\"error\":\"too many clients\"}\n", "application/json");
            return;
        }
        response.set_header("Cache-Control", "no-cache");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this](std::size_t, httplib::DataSink& sink) {
                if (!running_) return false;
                const std::string event = "data: " + statusJson() + "\n\n";
                if (!sink.write(event.data(), event.size())) return false;
                std::this_thread::sleep_for(kEventInterval);
                return running_.load();
            },
            [this](bool) { streams_.fetch_sub(1); });
    });

    if (config_.port == 0) {
        port_ = server.bind_to_any_port(config_.host);
        if (port_ <= 0) {
            error = "--remote: cannot listen on " + config_.host;
            return false;
        }
    } else {
        if (!server.bind_to_port(config_.host, config_.port)) {
            error = "--remote: cannot listen on " + config_.host + ":" + std::to_string(config_.port);
            return false;
        }
        port_ = config_.port;
    }
    running_ = true;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void RemoteServer::stop() {
    if (!running_.exchange(false)) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

void RemoteServer::publish(const RemoteReadings& r) {
    const double values[kFields] = {r.inputLevel,       r.outputLevel, r.agcGainLow,    r.agcGainHigh,
                                    r.limiterReduction, r.clipLevel,   r.shortTermLufs, r.integratedLufs,
                                    r.truePeakDbtp};
    for (int i = 0; i < kFields; ++i) values_[i].store(values[i], std::memory_order_relaxed);
    preset_.store(r.preset, std::memory_order_relaxed);
    latencyFrames_.store(r.latencyFrames, std::memory_order_relaxed);
    latencyRate_.store(r.latencyRate, std::memory_order_relaxed);
    updates_.fetch_add(1, std::memory_order_relaxed);
}

bool RemoteServer::takePresetRequest(int32_t& id) {
    const int32_t requested = requested_.exchange(kNoRequest, std::memory_order_relaxed);
    if (requested == kNoRequest) return false;
    id = requested;
    return true;
}

std::string RemoteServer::statusJson() const {
    double v[kFields];
    for (int i = 0; i < kFields; ++i) v[i] = values_[i].load(std::memory_order_relaxed);
    const int32_t preset = preset_.load(std::memory_order_relaxed);
    const int32_t latency = latencyFrames_.load(std::memory_order_relaxed);
    const int32_t rate = latencyRate_.load(std::memory_order_relaxed);
    std::string label;
    std::string list;
    for (const RemotePreset& p : config_.presets) {
        if (p.id == preset) label = p.label;
        list += std::string(list.empty() ? "" : ",") + "{\"id\":" + std::to_string(p.id) + ",\"label\":\"" +
                escaped(p.label) + "\"}";
    }
    return "{\"input\":" + number(v[0], 1) + ",\"output\":" + number(v[1], 1) + ",\"agc_gain_low\":" +
           number(v[2], 1) + ",\"agc_gain_high\":" + number(v[3], 1) + ",\"limiter_reduction\":" + number(v[4], 1) +
           ",\"clip_level\":" + number(v[5], 1) + ",\"short_term_lufs\":" + number(v[6], 1) +
           ",\"integrated_lufs\":" + number(v[7], 1) + ",\"true_peak_dbtp\":" + number(v[8], 1) +
           ",\"preset\":" + std::to_string(preset) + ",\"preset_label\":\"" + escaped(label) +
           "\",\"latency_frames\":" + std::to_string(latency) + ",\"latency_ms\":" +
           number(rate > 0 ? latency * 1000.0 / rate : 0.0, 1) +
           ",\"updates\":" + std::to_string(updates_.load(std::memory_order_relaxed)) + ",\"presets\":[" + list + "]}";
}

int RemoteServer::requestPreset(const std::string& body, std::string& reply) {
    int32_t id = 0;
    if (!presetInBody(body, id)) {
        reply = "{\"error\":\"expected {\\\"preset\\\": ID} with ID F1-F10 or a slot 1-99\"}\n";
        return 400;
    }
    for (const RemotePreset& p : config_.presets) {
        if (p.id != id) continue;
        requested_.store(id, std::memory_order_relaxed);
        reply = "{\"ok\":true,\"preset\":" + std::to_string(id) + ",\"label\":\"" + escaped(p.label) + "\"}\n";
        return 202;
    }
    reply = "{\"error\":\"no such preset\"}\n";
    return 404;
}

}  // namespace qx::cli
