// kivsim --http on a pseudo-terminal: a change made through the API is what
// the driver then reads (kivpoll), and what the driver writes is what the API
// then shows, with the frames of both in the line's list.
#include <gtest/gtest.h>

#include <httplib.h>

#include <string>

#include "tests/support/child_process.h"
#include "tests/support/tool_run.h"
#include "tests/support/wait_until.h"

#if defined(KIV_KIVSIM_PATH) && defined(KIV_KIVPOLL_PATH)

namespace {

class ConsoleHttp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kivsim.Start({KIV_KIVSIM_PATH, "--station", "1", "--http", "0"}));
        const std::string line = kivsim.ReadLineWith("kivsim: line ", 10000);
        ASSERT_FALSE(line.empty());
        path = line.substr(std::string("kivsim: line ").size());
        const std::string console = kivsim.ReadLineWith("kivsim: console http://127.0.0.1:", 10000);
        ASSERT_NE(std::string::npos, console.find("(this machine only)")) << console;
        port = std::stoi(console.substr(console.rfind(':') + 1));
        client.reset(new httplib::Client("127.0.0.1", port));
    }
    void TearDown() override {
        kivsim.Send("quit\n");
        int status = -1;
        EXPECT_TRUE(kivsim.WaitExit(10000, &status));
        EXPECT_EQ(0, status);
    }
    ToolRun Kivpoll(const std::string& arguments) {
        return RunTool(KIV_KIVPOLL_PATH, "-p " + path + " -t 500 -q --json " + arguments);
    }
    std::string Get(const std::string& target) {
        auto answer = client->Get(target.c_str());
        return answer && answer->status == 200 ? answer->body : std::string();
    }

    ChildProcess kivsim;
    std::string path;
    int port = 0;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(ConsoleHttp, AChangeReachesTheDriverAndTheDriversWriteTheApi) {
    auto put = client->Put("/api/stations/1/registers/300", "{\"value\": 4242}", "application/json");
    ASSERT_TRUE(put);
    EXPECT_EQ(200, put->status) << put->body;
    ToolRun read = Kivpoll("R00010300");
    EXPECT_EQ(0, read.status) << read.output;
    EXPECT_NE(std::string::npos, read.output.find("\"values\":[4242]")) << read.output;

    // Refused: another site's page, and a body that is not JSON. The driver
    // still reads what the API set.
    httplib::Headers foreign = {{"Origin", "http://evil.example"}};
    auto refused = client->Put("/api/stations/1/registers/300", foreign, "{\"value\": 1}", "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(403, refused->status);
    auto bad = client->Put("/api/stations/1/registers/300", "value=1", "application/x-www-form-urlencoded");
    ASSERT_TRUE(bad);
    EXPECT_EQ(400, bad->status);
    read = Kivpoll("R00010300");
    EXPECT_NE(std::string::npos, read.output.find("\"values\":[4242]")) << read.output;

    EXPECT_EQ(0, Kivpoll("-W 777 R00010500").status);
    EXPECT_NE(std::string::npos, Get("/api/stations/1?from=500&count=1").find("{\"register\":500,\"value\":777}"));
    EXPECT_TRUE(WaitUntil([&] { return Get("/api/frames?after=0").find("write 1 registers from reg=500") != std::string::npos; }, 10000));
    const std::string stations = Get("/api/stations");
    EXPECT_NE(std::string::npos, stations.find("\"lastRequest\":{")) << stations;

    // The page, and the capture of what passed.
    const std::string page = Get("/");
    EXPECT_NE(std::string::npos, page.find("data-register")) << page.substr(0, 200);
    auto capture = client->Get("/api/frames.pcap");
    ASSERT_TRUE(capture);
    EXPECT_EQ(200, capture->status);
    EXPECT_GT(capture->body.size(), 24u);
}

TEST(ConsoleHttpOption, BadAddressesAreMisuse) {
    for (const char* where : {"70000", "::1:80", "x"}) {
        SCOPED_TRACE(where);
        const ToolRun run = RunTool(KIV_KIVSIM_PATH, std::string("--no-stdin --duration 1 --http ") + where);
        EXPECT_EQ(2, run.status) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("--http")) << run.output;
    }
}

}  // namespace

#endif
