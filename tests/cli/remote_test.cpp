// The web remote's server as scripts and browsers reach it over loopback: the
// page, the status and preset API, the token rule, and what it refuses.
#include <httplib.h>

#include <gtest/gtest.h>

#include <string>

#include "cli/remote.h"

namespace qx::cli {
namespace {

RemoteConfig config(const std::string& token = "") {
    RemoteConfig c;
    c.host = "127.0.0.1";
    c.port = 0;
    c.token = token;
    c.presets = {{0, "F1:Enhancer"}, {-3, "F4:Web Radio"}, {-9, "F10:OFF"}, {3, "03:Late Night"}};
    return c;
}

TEST(RemoteServer, ServesThePageStatusAndPresetRequestsAndRefusesTheRest) {
    RemoteServer server;
    std::string error;
    ASSERT_TRUE(server.start(config(), error)) << error;
    httplib::Client client("127.0.0.1", server.port());

    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("new EventSource('/events'"), std::string::npos);

    RemoteReadings readings;
    readings.inputLevel = 41.25;
    readings.limiterReduction = 3.04;
    readings.integratedLufs = -14.25;
    readings.preset = -3;
    readings.latencyFrames = 69629;
    server.publish(readings);
    auto status = client.Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200);
    for (const char* part : {"\"input\":41.2", "\"limiter_reduction\":3.0", "\"integrated_lufs\":-14.2",
                             "\"short_term_lufs\":null", "\"preset\":-3", "\"preset_label\":\"F4:Web Radio\"",
                             "\"latency_frames\":69629", "\"latency_ms\":1578.9", "{\"id\":3,\"label\":\"03:Late Night\"}"})
        EXPECT_NE(status->body.find(part), std::string::npos) << part << " in " << status->body;

    // Presets by number or label; only presets that exist.
    int32_t taken = 0;
    EXPECT_FALSE(server.takePresetRequest(taken));
    for (const auto& [body, id] : {std::pair{"{\"preset\": \"F10\"}", -9}, std::pair{"{\"preset\":3}", 3},
                                   std::pair{"{\"preset\":\"f4\"}", -3}}) {
        auto reply = client.Post("/api/preset", body, "application/json");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 202) << body;
        ASSERT_TRUE(server.takePresetRequest(taken));
        EXPECT_EQ(taken, id);
        EXPECT_FALSE(server.takePresetRequest(taken));  // taken once
    }
    for (const auto& [body, code] : {std::pair{"{\"preset\":\"07\"}", 404}, std::pair{"{\"preset\":\"F11\"}", 400},
                                     std::pair{"hello", 400}, std::pair{"{\"preset\":}", 400},
                                     std::pair{"{\"preset\":123456789}", 400}}) {
        auto reply = client.Post("/api/preset", body, "application/json");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, code) << body;
    }
    EXPECT_FALSE(server.takePresetRequest(taken));
    auto huge = client.Post("/api/preset", std::string(64 * 1024, 'x'), "application/json");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 413);
    for (const char* path : {"/../../etc/passwd", "/api/../README.md", "/nothing"}) {
        auto reply = client.Get(path);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 404) << path;
    }
    server.stop();
}

TEST(RemoteServer, WithATokenEveryRequestMustCarryIt) {
    RemoteServer server;
    std::string error;
    ASSERT_TRUE(server.start(config("5e5e5e"), error)) << error;
    httplib::Client client("127.0.0.1", server.port());
    for (const char* path : {"/", "/api/status", "/events", "/api/status?token=wrong"}) {
        auto reply = client.Get(path);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 401) << path;
    }
    auto refused = client.Post("/api/preset", "{\"preset\":0}", "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    int32_t taken = 0;
    EXPECT_FALSE(server.takePresetRequest(taken));

    auto query = client.Get("/api/status?token=5e5e5e");
    ASSERT_TRUE(query);
    EXPECT_EQ(query->status, 200);
    auto bearer = client.Post("/api/preset", {{"Authorization", "Bearer 5e5e5e"}}, "{\"preset\":0}", "application/json");
    ASSERT_TRUE(bearer);
    EXPECT_EQ(bearer->status, 202);
    EXPECT_TRUE(server.takePresetRequest(taken));
}

TEST(RemoteServer, AddressesAndTokens) {
    std::string host, error;
    int port = 0;
    EXPECT_TRUE(parseRemoteAddress("0.0.0.0:8080", host, port, error));
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_EQ(port, 8080);
    EXPECT_FALSE(isLoopback(host));
    EXPECT_TRUE(parseRemoteAddress(":9000", host, port, error));
    EXPECT_TRUE(isLoopback(host));
    EXPECT_TRUE(parseRemoteAddress("[::1]:9000", host, port, error));
    EXPECT_EQ(host, "::1");
    EXPECT_TRUE(isLoopback(host));
    for (const char* bad : {"8080", "host:", "host:65536", "host:80a"}) EXPECT_FALSE(parseRemoteAddress(bad, host, port, error)) << bad;
    const std::string a = generateToken(), b = generateToken();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace qx::cli
