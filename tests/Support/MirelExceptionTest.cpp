#include <gtest/gtest.h>

#include "MirelException.hpp"

using MirelSupport::MirelException;
using MirelSupport::MirelString;
using MirelSupport::MirelUString;

TEST(MirelException, KeepsNarrowTextByteForByteThroughTheWideForm) {
    MirelString sText("abc \xe9\xff end.");
    MirelException e(sText, 98);
    EXPECT_EQ(sText, e.getText());
    EXPECT_EQ(98, e.getCode());
    EXPECT_EQ(static_cast<wchar_t>(0xff), e.getUText()[5]);
    MirelException copy(e);
    EXPECT_EQ(sText, copy.getText());
}

TEST(MirelException, MessagesQueueInOrder) {
    MirelException e(MirelUString(L"base"), 0);
    e.pushMessage(L"first");
    e.pushMessage(L"second");
    EXPECT_EQ("base\nfirst\nsecond", e.getFormattedMessages());
    EXPECT_EQ(L"first", e.popMessage());
    EXPECT_EQ(L"second", e.popMessage());
    EXPECT_EQ(L"", e.popMessage());
    e.setText(MirelString("changed"));
    e.setCode(4);
    EXPECT_EQ("changed", e.getText());
    EXPECT_EQ(4, e.getCode());
}
