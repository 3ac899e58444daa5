#include "tests/support/line_channel.h"

#include "tavlib/tavlib_control.h"

void LineChannelTest::SetUp() {
    KIV_NEED_LINE(line);
    TavReset();
    log.reset(new LogCapture());
    ASSERT_TRUE(WriteChannelFile(channelFile_));
}

void LineChannelTest::TearDown() {
    Close();
    log.reset();
    TavReset();
}
