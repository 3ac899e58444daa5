#include "tests/support/line_channel.h"

#include "tavlib/tavlib_control.h"

void LineChannelTest::SetUp() {
#ifdef _WIN32
    if (!line.ok()) GTEST_SKIP() << line.error();
#else
    ASSERT_TRUE(line.ok()) << line.error();
#endif
    TavReset();
    log.reset(new LogCapture());
    ASSERT_TRUE(WriteChannelFile(channelFile_));
}

void LineChannelTest::TearDown() {
    Close();
    log.reset();
    TavReset();
}
