// The built driver loaded as hosts load it: by path, without linking the
// runtime, and with another runtime loaded ahead of the stand-in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    pclose(pipe);
    // Windows programs end lines with CR LF.
    std::string cleaned;
    for (char c : output)
        if (c != '\r') cleaned += c;
    return cleaned;
}

// Under Windows the programs and DLLs sit side by side in the working folder.
#if defined(_WIN32)
#define popen _popen
#define pclose _pclose
const std::string kProbe = "kiv_host_probe.exe";
const std::string kDriver = "KIVLINK.dll";
#else
const std::string kProbe = std::string("\"") + KIV_PROBE_PATH + "\"";
const std::string kDriver = std::string("\"") + KIV_DRIVER_PATH + "\"";
#endif

const char kDescribeLine[] = "describe 0 70 \"INTROL, DPC3000\" 373 66104 4 19200/8/0/0 3\n";

TEST(HostLoad, DescribeThroughDynamicLoading) {
    std::string output = RunCommand(kProbe + " " + kDriver + " 2>&1");
    EXPECT_NE(std::string::npos, output.find(kDescribeLine)) << output;
    // The missing configuration file is logged through the stand-in's err and
    // Open fails with 2: the process did not end in the C library's err().
    EXPECT_NE(std::string::npos, output.find("[32] KivIN : File kivIN97.int not found !")) << output;
    EXPECT_NE(std::string::npos, output.find("open 2\n")) << output;
}

// A host that opens and closes a channel in a fresh block each time (freed
// after Close), with report-by-exception on and off, then unloads the
// driver: threads, descriptors and host clients come back to where they
// were, the driver leaves the process, and nothing of it runs after the
// unload (it would crash). The build sets the number of cycles (10,000
// under AddressSanitizer).
TEST(HostLoad, ChannelsEndWithTheirCloseAndTheDriverUnloads) {
    constexpr int kCycles = KIV_UNLOAD_CYCLES;
    const std::string output = RunCommand(kProbe + " " + kDriver + " cycles " + std::to_string(kCycles) + " 2>&1");
    const size_t at = output.find("cycles ");
    ASSERT_NE(std::string::npos, at) << output;
    int cycles = 0, failures = -1, threads[2] = {}, descriptors[2] = {}, clients[2] = {};
    ASSERT_EQ(8, std::sscanf(output.c_str() + at, "cycles %d failures %d threads %d %d descriptors %d %d clients %d %d",
                             &cycles, &failures, &threads[0], &threads[1], &descriptors[0], &descriptors[1],
                             &clients[0], &clients[1]))
        << output;
    EXPECT_EQ(kCycles, cycles);
    EXPECT_EQ(0, failures) << output;
    EXPECT_EQ(threads[0], threads[1]) << output;
    EXPECT_EQ(descriptors[0], descriptors[1]) << output;
    EXPECT_EQ(0, clients[0]) << output;
    EXPECT_EQ(0, clients[1]) << output;
    const size_t unload = output.find("unloaded ");
    ASSERT_NE(std::string::npos, unload) << output;
    int unloaded = 0, gone = 0, threadsAfter = -1;
    ASSERT_EQ(3, std::sscanf(output.c_str() + unload, "unloaded %d gone %d threads %d", &unloaded, &gone, &threadsAfter))
        << output;
    EXPECT_EQ(1, unloaded);
    EXPECT_EQ(1, gone) << output;
    EXPECT_LE(threadsAfter, threads[0]) << output;
}

#if !defined(_WIN32)
TEST(HostLoad, APreloadedRuntimeTakesOverEveryService) {
    std::string output = RunCommand(std::string("ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=\"") + KIV_ALT_RUNTIME_PATH + "\" " + kProbe + " " + kDriver + " 2>&1");
    EXPECT_NE(std::string::npos, output.find(kDescribeLine)) << output;
    EXPECT_NE(std::string::npos, output.find("alt err 32 KivIN : File kivIN97.int not found !")) << output;
    EXPECT_EQ(std::string::npos, output.find("[32] KivIN")) << output;
    EXPECT_NE(std::string::npos, output.find("open 2\n")) << output;
}
#endif

}  // namespace
