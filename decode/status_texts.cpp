#include "decode/status_texts.h"

#include <cstddef>

namespace {

constexpr const char* kIrStatusTexts[] = {
    "红外接收器设备工作正常",
    "红外接收器设备未找到",
    "红外接收器设备打开失败",
};
constexpr const char* kGameStatusTexts[] = {
    "游戏杆接收器设备工作正常",
    "游戏杆接收器设备未找到",
    "游戏杆接收器设备打开失败",
};
constexpr const char* kTokenResultTexts[] = {
    "令匙输入成功", "令匙输入超时", "令匙输入中断", "令匙输入非法", "令匙输入长度非法",
};

template <std::size_t N>
const char* Pick(const char* const (&texts)[N], int code) {
    return code >= 0 && static_cast<std::size_t>(code) < N ? texts[code] : "";
}

}  // namespace

const char* IrStatusText(int status) {
    return Pick(kIrStatusTexts, status);
}

const char* GameStatusText(int status) {
    return Pick(kGameStatusTexts, status);
}

const char* TokenResultText(int result) {
    return Pick(kTokenResultTexts, result);
}
