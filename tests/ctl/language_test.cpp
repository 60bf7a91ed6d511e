// quillonctl in the user's language: the locale chooses English, Chinese or the source
// texts for what a person reads, and JSON is the same whatever it chooses.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/ctl/ctl_process.h"
#include "tools/virtual_kit/virtual_kit.h"

namespace {

using namespace ctltest;

using Env = std::vector<std::string>;

const Env kEnglish = {"LANGUAGE=en"};
const Env kSource = {"LANGUAGE=", "LC_ALL=C"};
// English through the locale's own variables, with nothing over LANG.
const Env kEnglishLang = {"LANGUAGE=", "LC_ALL=", "LC_MESSAGES=", "LANG=en_US.UTF-8"};
// Chinese, the source language, before English.
const Env kChineseFirst = {"LANGUAGE=zh_CN:en"};

// Whether `text` (UTF-8) holds a CJK character or full-width form.
bool HasHan(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xF0) != 0xE0 || i + 2 >= text.size())
            continue;
        const unsigned code = (byte & 0x0Fu) << 12 |
                              (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
                              (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
        if ((code >= 0x3000 && code <= 0x9FFF) || (code >= 0xFF00 && code <= 0xFFEF))
            return true;
    }
    return false;
}

class QuillonctlLanguageTest : public ::testing::Test {
protected:
    struct Run {
        int status = -1;
        std::vector<std::string> out;
        std::string err;
    };
    // quillonctl on the kit's tree, in the language `language` asks for.
    Run Ctl(std::vector<std::string> args, const Env& language) {
        args.insert(args.begin(), QUILLONCTL_EXE);
        Env env = m_home.Env();
        env.push_back("QUILLON_SYSFS_ROOT=" + kit.Bus().SysRoot());
        env.push_back("QUILLON_DEV_ROOT=" + kit.Bus().DevRoot());
        env.insert(env.end(), language.begin(), language.end());
        Process process(std::move(args), env);
        Run run;
        run.status = process.Exit(kBound);
        run.out = process.Out().Lines();
        run.err = process.Err().Text();
        return run;
    }
    void PlugReceivers() {
        kit.Bus().AddDevice(3, OrvaneUevent(), kIrReceiverDescriptor);
        kit.Bus().AddDevice(4, OrvaneUevent(), kGamePadDescriptor);
    }
    static std::string ClosedEndpoint() {
        return "--endpoint=http://127.0.0.1:1/keluserandhardwareservice.asmx";
    }

    CtlHome m_home{"quillonctl-language"};
    VirtualKit kit;
};

// Absent and working receivers: each locale's lines, and one JSON for all of them.
TEST_F(QuillonctlLanguageTest, CheckSpeaksTheLocalesLanguageAndKeepsItsJson) {
    for (const bool plugged : {false, true}) {
        if (plugged)
            PlugReceivers();
        const int status = plugged ? 0 : 2;
        const Run json = Ctl({"check", "--json"}, kSource);
        EXPECT_EQ(json.status, status);
        ASSERT_EQ(json.out.size(), 1u) << json.err;
        EXPECT_NE(json.out[0].find(plugged ? "红外接收器设备工作正常" : "红外接收器设备未找到"),
                  std::string::npos)
            << json.out[0];

        for (const Env& english : {kEnglish, kEnglishLang}) {
            const Run run = Ctl({"check"}, english);
            EXPECT_EQ(run.status, status) << english.back();
            ASSERT_EQ(run.out.size(), 2u) << english.back() << run.err;
            const std::string ir = plugged ? "IR receiver is working  " + kit.Bus().NodePath(3)
                                           : "IR receiver not found  ";
            const std::string game = plugged ? "Game receiver is working  " + kit.Bus().NodePath(4)
                                             : "Game receiver not found  ";
            EXPECT_EQ(run.out[0].rfind(ir, 0), 0u) << english.back() << ": " << run.out[0];
            EXPECT_EQ(run.out[1].rfind(game, 0), 0u) << english.back() << ": " << run.out[1];
            for (const std::string& line : run.out)
                EXPECT_FALSE(HasHan(line)) << english.back() << ": " << line;
            EXPECT_EQ(Ctl({"check", "--json"}, english).out, json.out) << english.back();
        }
        for (const Env& source : {kSource, kChineseFirst}) {
            const Run run = Ctl({"check"}, source);
            EXPECT_EQ(run.status, status) << source.back();
            ASSERT_EQ(run.out.size(), 2u) << source.back() << run.err;
            if (plugged) {
                EXPECT_EQ(run.out, (std::vector<std::string>{
                                       "红外接收器设备工作正常  " + kit.Bus().NodePath(3),
                                       "游戏杆接收器设备工作正常  " + kit.Bus().NodePath(4)}));
            } else {
                EXPECT_EQ(run.out[0].rfind("红外接收器设备未找到  ", 0), 0u) << run.out[0];
                EXPECT_EQ(run.out[1].rfind("游戏杆接收器设备未找到  ", 0), 0u) << run.out[1];
            }
            EXPECT_EQ(Ctl({"check", "--json"}, source).out, json.out) << source.back();
        }
    }
}

// The verdicts of the layers and quillonctl's own texts in English, the JSON as it is.
TEST_F(QuillonctlLanguageTest, VerifyAndCalibrateSpeakEnglishAndKeepTheirJson) {
    const std::vector<std::string> verify = {"verify",     "--serial", "123456789",
                                             "--password", "12345678", ClosedEndpoint()};
    const Run english = Ctl(verify, kEnglish);
    EXPECT_EQ(english.status, 7);
    EXPECT_EQ(english.out,
              std::vector<std::string>{"123456789 12345678: Network or server fault: not verified"})
        << english.err;
    std::vector<std::string> verifyJson = verify;
    verifyJson.push_back("--json");
    const Run json = Ctl(verifyJson, kEnglish);
    EXPECT_EQ(json.status, 7);
    EXPECT_EQ(json.out, Ctl(verifyJson, kSource).out);
    ASSERT_EQ(json.out.size(), 1u);
    EXPECT_NE(json.out[0].find("网络不通或服务器有问题，令匙验证不成功"), std::string::npos)
        << json.out[0];

    // quillonctl's own lines, added in English: Chinese has them translated.
    const Run usage = Ctl({"verify"}, kChineseFirst);
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.err.find("verify 需要 --serial 和 --password，或者 --wait"), std::string::npos)
        << usage.err;
    EXPECT_NE(Ctl({"verify"}, kSource).err.find("verify needs either --serial and --password"),
              std::string::npos);

    // No press within the time-out: the dialog's texts and the verdict.
    PlugReceivers();
    const Run calibrate = Ctl({"calibrate", "--timeout-period", "0.3", ClosedEndpoint()}, kEnglish);
    EXPECT_EQ(calibrate.status, 5) << calibrate.err;
    EXPECT_EQ(calibrate.out, (std::vector<std::string>{"Token calibration", "Press the token key",
                                                       "Input timed out"}));
}

}  // namespace
