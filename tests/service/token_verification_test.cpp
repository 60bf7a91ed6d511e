// The verification verdicts and their texts.
#include "service/token_verification.h"

#include <gtest/gtest.h>

#include "service/status.h"

namespace {

TEST(VerifyResultTest, StatusAndResultGiveTheFiveTexts) {
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, 0)), "令匙验证通过");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, 21030)), "令匙已经被绑定，拒绝验证");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, 1)), "令匙验证不通过，请尝试令匙校准");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, -1)), "令匙验证不通过，请尝试令匙校准");
    // A failed call is a network problem whatever result it left behind.
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(E_FAIL, 0)),
                 "网络不通或服务器有问题，令匙验证不成功");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(1, 0)), "网络不通或服务器有问题，令匙验证不成功");
    EXPECT_STREQ(VerifyText(VerifyOutcome::Exception), "网络通信异常");
}

}  // namespace
