#include "decode/status_texts.h"

#include <cstddef>

#include "platform/text/translatable.h"

namespace {

constexpr const char* kIrStatusTexts[] = {
    QUILLON_TEXT("Status", "红外接收器设备工作正常"),
    QUILLON_TEXT("Status", "红外接收器设备未找到"),
    QUILLON_TEXT("Status", "红外接收器设备打开失败"),
};
constexpr const char* kGameStatusTexts[] = {
    QUILLON_TEXT("Status", "游戏杆接收器设备工作正常"),
    QUILLON_TEXT("Status", "游戏杆接收器设备未找到"),
    QUILLON_TEXT("Status", "游戏杆接收器设备打开失败"),
};
constexpr const char* kTokenResultTexts[] = {
    QUILLON_TEXT("Status", "令匙输入成功"),     QUILLON_TEXT("Status", "令匙输入超时"),
    QUILLON_TEXT("Status", "令匙输入中断"),     QUILLON_TEXT("Status", "令匙输入非法"),
    QUILLON_TEXT("Status", "令匙输入长度非法"),
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
