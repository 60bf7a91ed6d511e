<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="zh_CN">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>关于 Quillon</source>
        <translation>关于 Quillon</translation>
    </message>
    <message>
        <source>程序图标</source>
        <translation>程序图标</translation>
    </message>
    <message>
        <source>Orvane遥控器诊断程序 1.0</source>
        <translation>Orvane遥控器诊断程序 1.0</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>确定</translation>
    </message>
</context>
<context>
    <name>CEKeyInputforRevise</name>
    <message>
        <source>令匙校准</source>
        <translation>令匙校准</translation>
    </message>
    <message>
        <source>请按令匙键输入令匙值</source>
        <translation>请按令匙键输入令匙值</translation>
    </message>
    <message>
        <source>第一次动态密码：</source>
        <translation>第一次动态密码：</translation>
    </message>
    <message>
        <source>第一次动态密码</source>
        <translation>第一次动态密码</translation>
    </message>
    <message>
        <source>校准状态</source>
        <translation>校准状态</translation>
    </message>
    <message>
        <source>第二次动态密码：</source>
        <translation>第二次动态密码：</translation>
    </message>
    <message>
        <source>第二次动态密码</source>
        <translation>第二次动态密码</translation>
    </message>
    <message>
        <source>超时错误</source>
        <translation>超时错误</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>警告</translation>
    </message>
</context>
<context>
    <name>CMainDlg</name>
    <message>
        <source>Orvane遥控器诊断程序</source>
        <translation>Orvane遥控器诊断程序</translation>
    </message>
    <message>
        <source>红外接收器状态</source>
        <translation>红外接收器状态</translation>
    </message>
    <message>
        <source>接收器状态检查中……</source>
        <translation>接收器状态检查中……</translation>
    </message>
    <message>
        <source>游戏杆接收器状态</source>
        <translation>游戏杆接收器状态</translation>
    </message>
    <message>
        <source>请输入需要比对的固定序列号</source>
        <translation>请输入需要比对的固定序列号</translation>
    </message>
    <message>
        <source>固定序列号</source>
        <translation>固定序列号</translation>
    </message>
    <message>
        <source>需要比对的固定序列号，9位数字</source>
        <translation>需要比对的固定序列号，9位数字</translation>
    </message>
    <message>
        <source>设置固定序列号</source>
        <translation>设置固定序列号</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>令匙输入</source>
        <translation>令匙输入</translation>
    </message>
    <message>
        <source>令匙输入状态</source>
        <translation>令匙输入状态</translation>
    </message>
    <message>
        <source>令匙序列号：</source>
        <translation>令匙序列号：</translation>
    </message>
    <message>
        <source>令匙序列号</source>
        <translation>令匙序列号</translation>
    </message>
    <message>
        <source>按令匙键后显示</source>
        <translation>按令匙键后显示</translation>
    </message>
    <message>
        <source>动态密码：</source>
        <translation>动态密码：</translation>
    </message>
    <message>
        <source>动态密码</source>
        <translation>动态密码</translation>
    </message>
    <message>
        <source>令匙验证结果</source>
        <translation>令匙验证结果</translation>
    </message>
    <message>
        <source>固定序列号比对</source>
        <translation>固定序列号比对</translation>
    </message>
    <message>
        <source>比对结果</source>
        <translation>比对结果</translation>
    </message>
    <message>
        <source>固定序列号比对结果</source>
        <translation>固定序列号比对结果</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>清除输出</source>
        <translation>清除输出</translation>
    </message>
    <message>
        <source>令匙校准</source>
        <translation>令匙校准</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>遥控器图片</source>
        <translation>遥控器图片</translation>
    </message>
    <message>
        <source>无法启动HID线程，程序中止</source>
        <translation>无法启动HID线程，程序中止</translation>
    </message>
    <message>
        <source>严重错误</source>
        <translation>严重错误</translation>
    </message>
    <message>
        <source>无法启动HIDForGame线程，程序中止</source>
        <translation>无法启动HIDForGame线程，程序中止</translation>
    </message>
    <message>
        <source>是否设置固定密码</source>
        <translation>是否设置固定密码</translation>
    </message>
    <message>
        <source>请确认</source>
        <translation>请确认</translation>
    </message>
    <message>
        <source>输入的序列号长度不对，请重新输入</source>
        <translation>输入的序列号长度不对，请重新输入</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>警告</translation>
    </message>
</context>
<context>
    <name>CQuillonApp</name>
    <message>
        <source>Bad configuration file:
%1
The token service will not be called until it is corrected.</source>
        <translation>配置文件有误：
%1
改正之前不会调用令匙验证服务。</translation>
    </message>
    <message>
        <source>WARNING</source>
        <translation>WARNING</translation>
    </message>
    <message>
        <source>Another instance is running...!</source>
        <translation>Another instance is running...!</translation>
    </message>
</context>
<context>
    <name>CStationWnd</name>
    <message>
        <source>Quillon station</source>
        <translation>Quillon 测试工位</translation>
    </message>
    <message>
        <source>Operator:</source>
        <translation>操作员：</translation>
    </message>
    <message>
        <source>&amp;Operator:</source>
        <translation>操作员(&amp;O)：</translation>
    </message>
    <message>
        <source>Operator id</source>
        <translation>操作员编号</translation>
    </message>
    <message>
        <source>operator id</source>
        <translation>操作员编号</translation>
    </message>
    <message>
        <source>Station:</source>
        <translation>工位：</translation>
    </message>
    <message>
        <source>Station name</source>
        <translation>工位名称</translation>
    </message>
    <message>
        <source>Results store</source>
        <translation>结果库</translation>
    </message>
    <message>
        <source>Label serial:</source>
        <translation>标签序列号：</translation>
    </message>
    <message>
        <source>Label serial</source>
        <translation>标签序列号</translation>
    </message>
    <message>
        <source>scan the label, or type it, then Enter (Enter alone: no label)</source>
        <translation>扫描或输入标签后按回车（直接回车：无标签）</translation>
    </message>
    <message>
        <source>Remote control</source>
        <translation>遥控器</translation>
    </message>
    <message>
        <source>Receivers</source>
        <translation>接收器</translation>
    </message>
    <message>
        <source>IR receiver status</source>
        <translation>红外接收器状态</translation>
    </message>
    <message>
        <source>Game receiver status</source>
        <translation>游戏杆接收器状态</translation>
    </message>
    <message>
        <source>Keys</source>
        <translation>按键</translation>
    </message>
    <message>
        <source>Step</source>
        <translation>步骤</translation>
    </message>
    <message>
        <source>Time left</source>
        <translation>剩余时间</translation>
    </message>
    <message>
        <source>Keys not pressed yet</source>
        <translation>尚未按过的按键</translation>
    </message>
    <message>
        <source>Flagged keys</source>
        <translation>异常按键</translation>
    </message>
    <message>
        <source>Token</source>
        <translation>令匙</translation>
    </message>
    <message>
        <source>Serial:</source>
        <translation>序列号：</translation>
    </message>
    <message>
        <source>Token serial</source>
        <translation>令匙序列号</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>动态密码：</translation>
    </message>
    <message>
        <source>Token password</source>
        <translation>令匙动态密码</translation>
    </message>
    <message>
        <source>Input:</source>
        <translation>输入：</translation>
    </message>
    <message>
        <source>Token input</source>
        <translation>令匙输入</translation>
    </message>
    <message>
        <source>Verification:</source>
        <translation>验证：</translation>
    </message>
    <message>
        <source>Verification result</source>
        <translation>验证结果</translation>
    </message>
    <message>
        <source>Service result:</source>
        <translation>服务结果：</translation>
    </message>
    <message>
        <source>Service result</source>
        <translation>服务结果</translation>
    </message>
    <message>
        <source>Verdict</source>
        <translation>结论</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>原因</translation>
    </message>
    <message>
        <source>Record</source>
        <translation>记录</translation>
    </message>
    <message>
        <source>Counts since opened</source>
        <translation>自打开以来的计数</translation>
    </message>
    <message>
        <source>Enter: start the next unit · Escape: abort the run, or leave</source>
        <translation>回车：测试下一台 · Esc：中止本次测试或退出</translation>
    </message>
    <message>
        <source>Checking the receivers</source>
        <translation>正在检查接收器</translation>
    </message>
    <message>
        <source>Press every key once</source>
        <translation>请将每个按键各按一次</translation>
    </message>
    <message>
        <source>Press the token key</source>
        <translation>请按令匙键</translation>
    </message>
    <message>
        <source>Calibrating the token</source>
        <translation>正在校准令匙</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>完成</translation>
    </message>
    <message>
        <source>No results store: %1</source>
        <translation>没有结果库：%1</translation>
    </message>
    <message>
        <source>Records: %1</source>
        <translation>记录：%1</translation>
    </message>
    <message>
        <source> (%1 waiting to be sent)</source>
        <translation>（%1 条待发送）</translation>
    </message>
    <message>
        <source>Counts unknown: %1</source>
        <translation>计数未知：%1</translation>
    </message>
    <message>
        <source>Since opened: units %1, passed %2, first-pass yield %3, retests %4</source>
        <translation>自打开以来：%1 台，通过 %2 台，一次通过率 %3，复测 %4 次</translation>
    </message>
    <message>
        <source>✘ NOT STARTED</source>
        <translation>✘ 未开始</translation>
    </message>
    <message>
        <source>no results store: %1</source>
        <translation>没有结果库：%1</translation>
    </message>
    <message>
        <source>the label serial is not plain text of at most 64 bytes</source>
        <translation>标签序列号不是不超过 64 字节的纯文本</translation>
    </message>
    <message>
        <source>keys: %1</source>
        <translation>按键：%1</translation>
    </message>
    <message>
        <source>Record written to %1</source>
        <translation>记录已写入 %1</translation>
    </message>
    <message>
        <source>Record kept in the local store, waiting for %1 (%2)</source>
        <translation>记录暂存在本地库中，等待 %1（%2）</translation>
    </message>
    <message>
        <source>The record is NOT stored: %1</source>
        <translation>记录未保存：%1</translation>
    </message>
    <message>
        <source>✔ PASS</source>
        <translation>✔ 通过 (PASS)</translation>
    </message>
    <message>
        <source>✘ FAIL</source>
        <translation>✘ 不通过 (FAIL)</translation>
    </message>
    <message>
        <source>✘ ERROR</source>
        <translation>✘ 出错 (ERROR)</translation>
    </message>
    <message>
        <source>■ ABORTED</source>
        <translation>■ 中止 (ABORTED)</translation>
    </message>
    <message>
        <source>%1 s left</source>
        <translation>剩余 %1 秒</translation>
    </message>
    <message>
        <source>All %1 key pressed</source>
        <translation>%1 个按键已全部按过</translation>
    </message>
    <message>
        <source>All %1 keys pressed</source>
        <translation>%1 个按键已全部按过</translation>
    </message>
    <message>
        <source>Missing (%1): %2</source>
        <translation>未按（%1）：%2</translation>
    </message>
    <message>
        <source>Flagged (double or stuck): %1</source>
        <translation>异常（重复或卡住）：%1</translation>
    </message>
    <message>
        <source>Abort the test of this unit? It is recorded as ABORTED.</source>
        <translation>中止这台的测试？它将记录为 ABORTED。</translation>
    </message>
    <message>
        <source>Abort the run</source>
        <translation>中止测试</translation>
    </message>
</context>
<context>
    <name>Status</name>
    <message>
        <source>For Quillon, Orvane Keywarden Service
Has been stopped.</source>
        <translation>For Quillon, Orvane Keywarden Service
Has been stopped.</translation>
    </message>
    <message>
        <source>Hint</source>
        <translation>Hint</translation>
    </message>
    <message>
        <source>序列号一致</source>
        <translation>序列号一致</translation>
    </message>
    <message>
        <source>序列号不一致</source>
        <translation>序列号不一致</translation>
    </message>
    <message>
        <source>红外接收器设备工作正常</source>
        <translation>红外接收器设备工作正常</translation>
    </message>
    <message>
        <source>红外接收器设备未找到</source>
        <translation>红外接收器设备未找到</translation>
    </message>
    <message>
        <source>红外接收器设备打开失败</source>
        <translation>红外接收器设备打开失败</translation>
    </message>
    <message>
        <source>游戏杆接收器设备工作正常</source>
        <translation>游戏杆接收器设备工作正常</translation>
    </message>
    <message>
        <source>游戏杆接收器设备未找到</source>
        <translation>游戏杆接收器设备未找到</translation>
    </message>
    <message>
        <source>游戏杆接收器设备打开失败</source>
        <translation>游戏杆接收器设备打开失败</translation>
    </message>
    <message>
        <source>令匙输入成功</source>
        <translation>令匙输入成功</translation>
    </message>
    <message>
        <source>令匙输入超时</source>
        <translation>令匙输入超时</translation>
    </message>
    <message>
        <source>令匙输入中断</source>
        <translation>令匙输入中断</translation>
    </message>
    <message>
        <source>令匙输入非法</source>
        <translation>令匙输入非法</translation>
    </message>
    <message>
        <source>令匙输入长度非法</source>
        <translation>令匙输入长度非法</translation>
    </message>
    <message>
        <source>请等待30秒再输入令匙键</source>
        <translation>请等待30秒再输入令匙键</translation>
    </message>
    <message>
        <source>请再次输入令匙键</source>
        <translation>请再次输入令匙键</translation>
    </message>
    <message>
        <source>两次密码相同，请等待30秒再试</source>
        <translation>两次密码相同，请等待30秒再试</translation>
    </message>
    <message>
        <source>令匙校准通过</source>
        <translation>令匙校准通过</translation>
    </message>
    <message>
        <source>令匙校准不通过</source>
        <translation>令匙校准不通过</translation>
    </message>
    <message>
        <source>网络不通或服务器有问题，令匙校准不成功</source>
        <translation>网络不通或服务器有问题，令匙校准不成功</translation>
    </message>
    <message>
        <source>校准发生异常</source>
        <translation>校准发生异常</translation>
    </message>
    <message>
        <source>输入超时</source>
        <translation>输入超时</translation>
    </message>
    <message>
        <source>令匙验证通过</source>
        <translation>令匙验证通过</translation>
    </message>
    <message>
        <source>令匙已经被绑定，拒绝验证</source>
        <translation>令匙已经被绑定，拒绝验证</translation>
    </message>
    <message>
        <source>令匙验证不通过，请尝试令匙校准</source>
        <translation>令匙验证不通过，请尝试令匙校准</translation>
    </message>
    <message>
        <source>网络不通或服务器有问题，令匙验证不成功</source>
        <translation>网络不通或服务器有问题，令匙验证不成功</translation>
    </message>
    <message>
        <source>网络通信异常</source>
        <translation>网络通信异常</translation>
    </message>
</context>
<context>
    <name>quillonctl</name>
    <message>
        <source>第一次动态密码：</source>
        <translation>第一次动态密码：</translation>
    </message>
    <message>
        <source>第二次动态密码：</source>
        <translation>第二次动态密码：</translation>
    </message>
    <message>
        <source>cannot start the receiver threads</source>
        <translation>无法启动接收器线程</translation>
    </message>
    <message>
        <source>令匙校准</source>
        <translation>令匙校准</translation>
    </message>
    <message>
        <source>请按令匙键输入令匙值</source>
        <translation>请按令匙键输入令匙值</translation>
    </message>
    <message>
        <source>the calibration ended without a verdict</source>
        <translation>校准结束，但没有结论</translation>
    </message>
    <message>
        <source>waiting for the receivers: %lld s</source>
        <translation>等待接收器：%lld 秒</translation>
    </message>
    <message>
        <source>fix: %s</source>
        <translation>修复：%s</translation>
    </message>
    <message>
        <source>no fix, because %s</source>
        <translation>无法修复：%s</translation>
    </message>
    <message>
        <source>%zu checks: %d failed, %d warning%s</source>
        <translation>%zu 项检查：%d 项失败，%d 项警告%.0s</translation>
    </message>
    <message>
        <source>node missing</source>
        <translation>节点不存在</translation>
    </message>
    <message>
        <source>may open</source>
        <translation>可以打开</translation>
    </message>
    <message>
        <source>may not open (%s)</source>
        <translation>不能打开（%s）</translation>
    </message>
    <message>
        <source>held by %s</source>
        <translation>被 %s 占用</translation>
    </message>
    <message>
        <source>No hidraw node is present.</source>
        <translation>没有 hidraw 节点。</translation>
    </message>
    <message>
        <source>No receiver of the kit (USB 0471:0606) is present.</source>
        <translation>没有本套件的接收器（USB 0471:0606）。</translation>
    </message>
    <message>
        <source>no %s is present; it is not recorded</source>
        <translation>没有 %s，不录制</translation>
    </message>
    <message>
        <source>no receiver of the kit (USB 0471:0606) is present</source>
        <translation>没有本套件的接收器（USB 0471:0606）</translation>
    </message>
    <message>
        <source>%s: a FIFO that no program reads yet; waiting for one (Ctrl-C to stop)</source>
        <translation>%s：此 FIFO 尚无程序读取，等待中（按 Ctrl-C 停止）</translation>
    </message>
    <message>
        <source>record --json needs --output FILE: the recording goes to stdout otherwise</source>
        <translation>record --json 需要 --output FILE：否则录制内容会写到标准输出</translation>
    </message>
    <message>
        <source>(quillonctl doctor tells why)</source>
        <translation>（quillonctl doctor 可说明原因）</translation>
    </message>
    <message>
        <source>stopped before anything was recorded</source>
        <translation>尚未录到任何内容即已停止</translation>
    </message>
    <message>
        <source>writing the recording failed: %s</source>
        <translation>写入录制内容失败：%s</translation>
    </message>
    <message>
        <source>recording %zu device%s; Ctrl-C to stop</source>
        <translation>正在录制 %zu 个设备%.0s，按 Ctrl-C 停止</translation>
    </message>
    <message>
        <source>recording %zu device%s to %s; Ctrl-C to stop</source>
        <translation>正在录制 %zu 个设备%.0s到 %s，按 Ctrl-C 停止</translation>
    </message>
    <message>
        <source>%s went away</source>
        <translation>%s 已断开</translation>
    </message>
    <message>
        <source>writing the recording failed: %s; it ends with the %zu report%s before</source>
        <translation>写入录制内容失败：%s；录制内容止于此前的 %zu 个报告%.0s</translation>
    </message>
    <message>
        <source>%s took no more; its last line may be cut short</source>
        <translation>%s 不再接收，最后一行可能不完整</translation>
    </message>
    <message>
        <source>%zu report%s in %s s</source>
        <translation>%zu 个报告%.0s，历时 %s 秒</translation>
    </message>
    <message>
        <source>(no name)</source>
        <translation>（无名称）</translation>
    </message>
    <message>
        <source>%zu of %zu reports sent, %.0f s left</source>
        <translation>已发送 %zu/%zu 个报告，剩余 %.0f 秒</translation>
    </message>
    <message>
        <source>warning: %s: %s</source>
        <translation>警告：%s：%s</translation>
    </message>
    <message>
        <source>%s served; run the window or quillonctl with the two variables above to see the replay</source>
        <translation>%s 已就绪；用上面两个变量运行窗口或 quillonctl 即可看到回放</translation>
    </message>
    <message>
        <source>%s created through /dev/uhid</source>
        <translation>%s 已通过 /dev/uhid 创建</translation>
    </message>
    <message>
        <source>waiting until a program opens every device (Ctrl-C to stop)</source>
        <translation>等待程序打开所有设备（按 Ctrl-C 停止）</translation>
    </message>
    <message>
        <source>replaying %zu reports at %gx</source>
        <translation>正在回放 %zu 个报告，速度 %gx</translation>
    </message>
    <message>
        <source>replay stopped after %zu reports: %s</source>
        <translation>回放在 %zu 个报告后停止：%s</translation>
    </message>
    <message>
        <source>replay done; the devices stay until Ctrl-C</source>
        <translation>回放完成；设备保留到按下 Ctrl-C</translation>
    </message>
    <message>
        <source>replay done: %zu of %zu reports sent in %.1f s</source>
        <translation>回放完成：已发送 %zu/%zu 个报告，用时 %.1f 秒</translation>
    </message>
    <message>
        <source>replay stopped: %zu of %zu reports sent in %.1f s</source>
        <translation>回放已停止：已发送 %zu/%zu 个报告，用时 %.1f 秒</translation>
    </message>
    <message>
        <source>started (UTC)</source>
        <translation>started (UTC)</translation>
    </message>
    <message>
        <source>outcome</source>
        <translation>outcome</translation>
    </message>
    <message>
        <source>unit</source>
        <translation>unit</translation>
    </message>
    <message>
        <source>station</source>
        <translation>station</translation>
    </message>
    <message>
        <source>operator</source>
        <translation>operator</translation>
    </message>
    <message>
        <source>retest</source>
        <translation>retest</translation>
    </message>
    <message>
        <source>why</source>
        <translation>why</translation>
    </message>
    <message>
        <source>%s: &quot;%s&quot; is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ)</source>
        <translation>%s：“%s”不是日期（YYYY-MM-DD 或 YYYY-MM-DDTHH:MM:SSZ）</translation>
    </message>
    <message>
        <source>--outcome: &quot;%s&quot; is none of PASS, FAIL, ERROR, ABORTED, STARTED</source>
        <translation>--outcome：“%s”不是 PASS、FAIL、ERROR、ABORTED、STARTED 之一</translation>
    </message>
    <message>
        <source>nothing to send: %s is the store itself</source>
        <translation>无需发送：%s 就是本地库本身</translation>
    </message>
    <message>
        <source>%d record(s) sent to %s, %d waiting</source>
        <translation>%d 条记录已发送到 %s，%d 条待发送</translation>
    </message>
    <message>
        <source>runs: %lld</source>
        <translation>测试次数：%lld</translation>
    </message>
    <message>
        <source>units: %lld</source>
        <translation>产品数：%lld</translation>
    </message>
    <message>
        <source>first-pass yield: %.1f %% (%lld of %lld)</source>
        <translation>一次通过率：%.1f %%（%lld/%lld）</translation>
    </message>
    <message>
        <source>retests: %lld</source>
        <translation>复测次数：%lld</translation>
    </message>
    <message>
        <source>failures by step:</source>
        <translation>按步骤统计的失败：</translation>
    </message>
    <message>
        <source>failures by key:</source>
        <translation>按按键统计的失败：</translation>
    </message>
    <message>
        <source>cannot write the output</source>
        <translation>无法写入输出</translation>
    </message>
    <message>
        <source>Receivers</source>
        <translation>接收器</translation>
    </message>
    <message>
        <source>Keys</source>
        <translation>按键</translation>
    </message>
    <message>
        <source>Token</source>
        <translation>令匙</translation>
    </message>
    <message>
        <source>Calibration</source>
        <translation>校准</translation>
    </message>
    <message>
        <source>Step</source>
        <translation>步骤</translation>
    </message>
    <message>
        <source>Label serial (scan or type, Enter for none):</source>
        <translation>标签序列号（扫描或输入，直接回车表示无）：</translation>
    </message>
    <message>
        <source>--serial: longer than %zu bytes</source>
        <translation>--serial：超过 %zu 字节</translation>
    </message>
    <message>
        <source>--serial: &quot;%s&quot; is not plain text</source>
        <translation>--serial：“%s”不是纯文本</translation>
    </message>
    <message>
        <source>calibration: %s</source>
        <translation>校准：%s</translation>
    </message>
    <message>
        <source>token serial %s, password %s</source>
        <translation>令匙序列号 %s，动态密码 %s</translation>
    </message>
    <message>
        <source>press every key once (%zu): %s</source>
        <translation>请将每个按键各按一次（%zu 个）：%s</translation>
    </message>
    <message>
        <source>press the token key</source>
        <translation>请按令匙键</translation>
    </message>
    <message>
        <source>flagged: %s</source>
        <translation>异常：%s</translation>
    </message>
    <message>
        <source>pressed: %s (%zu left)</source>
        <translation>已按：%s（还剩 %zu 个）</translation>
    </message>
    <message>
        <source>missing: %s</source>
        <translation>未按：%s</translation>
    </message>
    <message>
        <source>cannot start the output thread</source>
        <translation>无法启动输出线程</translation>
    </message>
    <message>
        <source>warning: the run&apos;s start is not recorded: %s</source>
        <translation>警告：本次测试的开始未能记录：%s</translation>
    </message>
    <message>
        <source>the local store, waiting for %s (%s)</source>
        <translation>本地库，等待 %s（%s）</translation>
    </message>
    <message>
        <source>error: the record is not stored: %s</source>
        <translation>错误：记录未保存：%s</translation>
    </message>
    <message>
        <source>record: %s</source>
        <translation>记录：%s</translation>
    </message>
    <message>
        <source>error: cannot write %s</source>
        <translation>错误：无法写入 %s</translation>
    </message>
    <message>
        <source>%s: longer than %zu bytes: &quot;%s&quot;...</source>
        <translation>%s：超过 %zu 字节：“%s”……</translation>
    </message>
    <message>
        <source>%s: holds a control character, U+FFFE, U+FFFF or bytes that are not UTF-8: &quot;%s&quot;</source>
        <translation>%s：含有控制字符、U+FFFE、U+FFFF 或非 UTF-8 字节：“%s”</translation>
    </message>
    <message>
        <source>warning: %s &quot;%s&quot; is not %zu digits; sent as it is</source>
        <translation>警告：%s“%s”不是 %zu 位数字，按原样发送</translation>
    </message>
    <message>
        <source>press the token key (%.0f s)</source>
        <translation>请按令匙键（%.0f 秒）</translation>
    </message>
    <message>
        <source>no token input within %d s</source>
        <translation>%d 秒内没有令匙输入</translation>
    </message>
    <message>
        <source>stdout is closed; watch has nowhere to write</source>
        <translation>标准输出已关闭，watch 无处可写</translation>
    </message>
    <message>
        <source>writing to stdout failed: %s</source>
        <translation>写标准输出失败：%s</translation>
    </message>
    <message>
        <source>%llu event%s not written: stdout did not keep up</source>
        <translation>%llu 个事件%.0s未写出：标准输出跟不上</translation>
    </message>
    <message>
        <source>%s (result %d)</source>
        <translation>%s（结果 %d）</translation>
    </message>
    <message>
        <source>unknown subcommand %s (see --help)</source>
        <translation>未知的子命令 %s（见 --help）</translation>
    </message>
    <message>
        <source>unexpected argument %s (see --help)</source>
        <translation>多余的参数 %s（见 --help）</translation>
    </message>
    <message>
        <source>verify needs either --serial and --password, or --wait</source>
        <translation>verify 需要 --serial 和 --password，或者 --wait</translation>
    </message>
    <message>
        <source>record: unknown option %s (see --help)</source>
        <translation>record：未知选项 %s（见 --help）</translation>
    </message>
    <message>
        <source>no subcommand</source>
        <translation>没有子命令</translation>
    </message>
    <message>
        <source>key repeat %s after %.0f ms</source>
        <translation>按键重复 %s，间隔 %.0f 毫秒</translation>
    </message>
    <message>
        <source>key down %s</source>
        <translation>按下 %s</translation>
    </message>
    <message>
        <source>key up %s</source>
        <translation>松开 %s</translation>
    </message>
    <message>
        <source>token %s</source>
        <translation>令匙 %s</translation>
    </message>
    <message>
        <source>token %s %s %s</source>
        <translation>令匙 %s %s %s</translation>
    </message>
    <message>
        <source>verification %s</source>
        <translation>验证 %s</translation>
    </message>
    <message>
        <source>summary: %llu keys, %llu repeats, repeat interval mean %.0f ms, max %.0f ms; frames: %s</source>
        <translation>汇总：按键 %llu 次，重复 %llu 次，重复间隔平均 %.0f 毫秒，最长 %.0f 毫秒；帧：%s</translation>
    </message>
    <message>
        <source>none</source>
        <translation>无</translation>
    </message>
</context>
</TS>
