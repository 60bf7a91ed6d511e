<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>关于 Quillon</source>
        <translation>About Quillon</translation>
    </message>
    <message>
        <source>Orvane遥控器诊断程序 1.0</source>
        <translation>Orvane Remote Diagnostics 1.0</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>程序图标</source>
        <translation>Program icon</translation>
    </message>
</context>
<context>
    <name>CEKeyInputforRevise</name>
    <message>
        <source>令匙校准</source>
        <translation>Token Calibration</translation>
    </message>
    <message>
        <source>请按令匙键输入令匙值</source>
        <translation>Press the token key</translation>
    </message>
    <message>
        <source>第一次动态密码：</source>
        <translation>First password:</translation>
    </message>
    <message>
        <source>第二次动态密码：</source>
        <translation>Second password:</translation>
    </message>
    <message>
        <source>超时错误</source>
        <translation>Timeout Error</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>第一次动态密码</source>
        <translation>First password</translation>
    </message>
    <message>
        <source>校准状态</source>
        <translation>Calibration status</translation>
    </message>
    <message>
        <source>第二次动态密码</source>
        <translation>Second password</translation>
    </message>
</context>
<context>
    <name>CMainDlg</name>
    <message>
        <source>Orvane遥控器诊断程序</source>
        <translation>Orvane Remote Diagnostics</translation>
    </message>
    <message>
        <source>接收器状态检查中……</source>
        <translation>Checking the receiver…</translation>
    </message>
    <message>
        <source>请输入需要比对的固定序列号</source>
        <translation>Fixed serial to compare:</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Set</translation>
    </message>
    <message>
        <source>令匙输入</source>
        <translation>Token Input</translation>
    </message>
    <message>
        <source>令匙序列号：</source>
        <translation>Serial no.:</translation>
    </message>
    <message>
        <source>动态密码：</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>固定序列号比对</source>
        <translation>Compare serial</translation>
    </message>
    <message>
        <source>比对结果</source>
        <translation>Result</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>清除输出</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>令匙校准</source>
        <translation>Calibrate</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>无法启动HID线程，程序中止</source>
        <translation>Cannot start the HID thread; the program ends.</translation>
    </message>
    <message>
        <source>严重错误</source>
        <translation>Fatal Error</translation>
    </message>
    <message>
        <source>无法启动HIDForGame线程，程序中止</source>
        <translation>Cannot start the HIDForGame thread; the program ends.</translation>
    </message>
    <message>
        <source>是否设置固定密码</source>
        <translation>Set the fixed serial number?</translation>
    </message>
    <message>
        <source>请确认</source>
        <translation>Please Confirm</translation>
    </message>
    <message>
        <source>输入的序列号长度不对，请重新输入</source>
        <translation>The serial number has the wrong length. Please enter it again.</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>红外接收器状态</source>
        <translation>IR receiver status</translation>
    </message>
    <message>
        <source>游戏杆接收器状态</source>
        <translation>Game receiver status</translation>
    </message>
    <message>
        <source>固定序列号</source>
        <translation>Fixed serial</translation>
    </message>
    <message>
        <source>需要比对的固定序列号，9位数字</source>
        <translation>The fixed serial to compare, 9 digits</translation>
    </message>
    <message>
        <source>设置固定序列号</source>
        <translation>Set fixed serial</translation>
    </message>
    <message>
        <source>令匙输入状态</source>
        <translation>Token input status</translation>
    </message>
    <message>
        <source>令匙序列号</source>
        <translation>Token serial</translation>
    </message>
    <message>
        <source>按令匙键后显示</source>
        <translation>Shown when the token key is pressed</translation>
    </message>
    <message>
        <source>动态密码</source>
        <translation>Token password</translation>
    </message>
    <message>
        <source>令匙验证结果</source>
        <translation>Verification result</translation>
    </message>
    <message>
        <source>固定序列号比对结果</source>
        <translation>Serial comparison result</translation>
    </message>
    <message>
        <source>遥控器图片</source>
        <translation>Remote control picture</translation>
    </message>
</context>
<context>
    <name>CQuillonApp</name>
    <message>
        <source>Bad configuration file:
%1
The token service will not be called until it is corrected.</source>
        <translation>Bad configuration file:
%1
The token service will not be called until it is corrected.</translation>
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
        <translation>Quillon station</translation>
    </message>
    <message>
        <source>&amp;Operator:</source>
        <translation>&amp;Operator:</translation>
    </message>
    <message>
        <source>operator id</source>
        <translation>operator id</translation>
    </message>
    <message>
        <source>Station:</source>
        <translation>Station:</translation>
    </message>
    <message>
        <source>Label serial:</source>
        <translation>Label serial:</translation>
    </message>
    <message>
        <source>scan the label, or type it, then Enter (Enter alone: no label)</source>
        <translation>scan the label, or type it, then Enter (Enter alone: no label)</translation>
    </message>
    <message>
        <source>Receivers</source>
        <translation>Receivers</translation>
    </message>
    <message>
        <source>Keys</source>
        <translation>Keys</translation>
    </message>
    <message>
        <source>Token</source>
        <translation>Token</translation>
    </message>
    <message>
        <source>Serial:</source>
        <translation>Serial:</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>Input:</source>
        <translation>Input:</translation>
    </message>
    <message>
        <source>Verification:</source>
        <translation>Verification:</translation>
    </message>
    <message>
        <source>Service result:</source>
        <translation>Service result:</translation>
    </message>
    <message>
        <source>Enter: start the next unit · Escape: abort the run, or leave</source>
        <translation>Enter: start the next unit · Escape: abort the run, or leave</translation>
    </message>
    <message>
        <source>Checking the receivers</source>
        <translation>Checking the receivers</translation>
    </message>
    <message>
        <source>Press every key once</source>
        <translation>Press every key once</translation>
    </message>
    <message>
        <source>Press the token key</source>
        <translation>Press the token key</translation>
    </message>
    <message>
        <source>Calibrating the token</source>
        <translation>Calibrating the token</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>No results store: %1</source>
        <translation>No results store: %1</translation>
    </message>
    <message>
        <source>Records: %1</source>
        <translation>Records: %1</translation>
    </message>
    <message>
        <source> (%1 waiting to be sent)</source>
        <translation> (%1 waiting to be sent)</translation>
    </message>
    <message>
        <source>Counts unknown: %1</source>
        <translation>Counts unknown: %1</translation>
    </message>
    <message>
        <source>Since opened: units %1, passed %2, first-pass yield %3, retests %4</source>
        <translation>Since opened: units %1, passed %2, first-pass yield %3, retests %4</translation>
    </message>
    <message>
        <source>✘ NOT STARTED</source>
        <translation>✘ NOT STARTED</translation>
    </message>
    <message>
        <source>no results store: %1</source>
        <translation>no results store: %1</translation>
    </message>
    <message>
        <source>the label serial is not plain text of at most 64 bytes</source>
        <translation>the label serial is not plain text of at most 64 bytes</translation>
    </message>
    <message>
        <source>keys: %1</source>
        <translation>keys: %1</translation>
    </message>
    <message>
        <source>Record written to %1</source>
        <translation>Record written to %1</translation>
    </message>
    <message>
        <source>Record kept in the local store, waiting for %1 (%2)</source>
        <translation>Record kept in the local store, waiting for %1 (%2)</translation>
    </message>
    <message>
        <source>The record is NOT stored: %1</source>
        <translation>The record is NOT stored: %1</translation>
    </message>
    <message>
        <source>✔ PASS</source>
        <translation>✔ PASS</translation>
    </message>
    <message>
        <source>✘ FAIL</source>
        <translation>✘ FAIL</translation>
    </message>
    <message>
        <source>✘ ERROR</source>
        <translation>✘ ERROR</translation>
    </message>
    <message>
        <source>■ ABORTED</source>
        <translation>■ ABORTED</translation>
    </message>
    <message>
        <source>%1 s left</source>
        <translation>%1 s left</translation>
    </message>
    <message>
        <source>Missing (%1): %2</source>
        <translation>Missing (%1): %2</translation>
    </message>
    <message>
        <source>Flagged (double or stuck): %1</source>
        <translation>Flagged (double or stuck): %1</translation>
    </message>
    <message>
        <source>Abort the test of this unit? It is recorded as ABORTED.</source>
        <translation>Abort the test of this unit? It is recorded as ABORTED.</translation>
    </message>
    <message>
        <source>Abort the run</source>
        <translation>Abort the run</translation>
    </message>
    <message>
        <source>All %1 key pressed</source>
        <translation>All %1 key pressed</translation>
    </message>
    <message>
        <source>All %1 keys pressed</source>
        <translation>All %1 keys pressed</translation>
    </message>
    <message>
        <source>Operator:</source>
        <translation>Operator:</translation>
    </message>
    <message>
        <source>Operator id</source>
        <translation>Operator id</translation>
    </message>
    <message>
        <source>Station name</source>
        <translation>Station name</translation>
    </message>
    <message>
        <source>Results store</source>
        <translation>Results store</translation>
    </message>
    <message>
        <source>Label serial</source>
        <translation>Label serial</translation>
    </message>
    <message>
        <source>Remote control</source>
        <translation>Remote control</translation>
    </message>
    <message>
        <source>IR receiver status</source>
        <translation>IR receiver status</translation>
    </message>
    <message>
        <source>Game receiver status</source>
        <translation>Game receiver status</translation>
    </message>
    <message>
        <source>Step</source>
        <translation>Step</translation>
    </message>
    <message>
        <source>Time left</source>
        <translation>Time left</translation>
    </message>
    <message>
        <source>Keys not pressed yet</source>
        <translation>Keys not pressed yet</translation>
    </message>
    <message>
        <source>Flagged keys</source>
        <translation>Flagged keys</translation>
    </message>
    <message>
        <source>Token serial</source>
        <translation>Token serial</translation>
    </message>
    <message>
        <source>Token password</source>
        <translation>Token password</translation>
    </message>
    <message>
        <source>Token input</source>
        <translation>Token input</translation>
    </message>
    <message>
        <source>Verification result</source>
        <translation>Verification result</translation>
    </message>
    <message>
        <source>Service result</source>
        <translation>Service result</translation>
    </message>
    <message>
        <source>Verdict</source>
        <translation>Verdict</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>Record</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>Counts since opened</source>
        <translation>Counts since opened</translation>
    </message>
</context>
<context>
    <name>Status</name>
    <message>
        <source>红外接收器设备工作正常</source>
        <translation>IR receiver is working</translation>
    </message>
    <message>
        <source>红外接收器设备未找到</source>
        <translation>IR receiver not found</translation>
    </message>
    <message>
        <source>红外接收器设备打开失败</source>
        <translation>IR receiver failed to open</translation>
    </message>
    <message>
        <source>游戏杆接收器设备工作正常</source>
        <translation>Game receiver is working</translation>
    </message>
    <message>
        <source>游戏杆接收器设备未找到</source>
        <translation>Game receiver not found</translation>
    </message>
    <message>
        <source>游戏杆接收器设备打开失败</source>
        <translation>Game receiver failed to open</translation>
    </message>
    <message>
        <source>令匙输入成功</source>
        <translation>Token input succeeded</translation>
    </message>
    <message>
        <source>令匙输入超时</source>
        <translation>Token input timed out</translation>
    </message>
    <message>
        <source>令匙输入中断</source>
        <translation>Token input interrupted</translation>
    </message>
    <message>
        <source>令匙输入非法</source>
        <translation>Token input invalid</translation>
    </message>
    <message>
        <source>令匙输入长度非法</source>
        <translation>Token input: wrong length</translation>
    </message>
    <message>
        <source>请等待30秒再输入令匙键</source>
        <translation>Wait 30 s, then press the token key</translation>
    </message>
    <message>
        <source>请再次输入令匙键</source>
        <translation>Press the token key again</translation>
    </message>
    <message>
        <source>两次密码相同，请等待30秒再试</source>
        <translation>Same password twice: wait 30 s, retry</translation>
    </message>
    <message>
        <source>令匙校准通过</source>
        <translation>Token calibration passed</translation>
    </message>
    <message>
        <source>令匙校准不通过</source>
        <translation>Token calibration did not pass</translation>
    </message>
    <message>
        <source>网络不通或服务器有问题，令匙校准不成功</source>
        <translation>Network or server fault: not calibrated</translation>
    </message>
    <message>
        <source>校准发生异常</source>
        <translation>Calibration failed with an error</translation>
    </message>
    <message>
        <source>输入超时</source>
        <translation>Input timed out</translation>
    </message>
    <message>
        <source>令匙验证通过</source>
        <translation>Token verified</translation>
    </message>
    <message>
        <source>令匙已经被绑定，拒绝验证</source>
        <translation>Token is bound: verification refused</translation>
    </message>
    <message>
        <source>令匙验证不通过，请尝试令匙校准</source>
        <translation>Not verified: try calibrating the token</translation>
    </message>
    <message>
        <source>网络不通或服务器有问题，令匙验证不成功</source>
        <translation>Network or server fault: not verified</translation>
    </message>
    <message>
        <source>网络通信异常</source>
        <translation>Network communication error</translation>
    </message>
    <message>
        <source>序列号一致</source>
        <translation>Serials match</translation>
    </message>
    <message>
        <source>序列号不一致</source>
        <translation>Serials differ</translation>
    </message>
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
</context>
<context>
    <name>quillonctl</name>
    <message>
        <source>第一次动态密码：</source>
        <translation>First password:</translation>
    </message>
    <message>
        <source>第二次动态密码：</source>
        <translation>Second password:</translation>
    </message>
    <message>
        <source>cannot start the receiver threads</source>
        <translation>cannot start the receiver threads</translation>
    </message>
    <message>
        <source>令匙校准</source>
        <translation>Token calibration</translation>
    </message>
    <message>
        <source>请按令匙键输入令匙值</source>
        <translation>Press the token key</translation>
    </message>
    <message>
        <source>the calibration ended without a verdict</source>
        <translation>the calibration ended without a verdict</translation>
    </message>
    <message>
        <source>waiting for the receivers: %lld s</source>
        <translation>waiting for the receivers: %lld s</translation>
    </message>
    <message>
        <source>fix: %s</source>
        <translation>fix: %s</translation>
    </message>
    <message>
        <source>no fix, because %s</source>
        <translation>no fix, because %s</translation>
    </message>
    <message>
        <source>%zu checks: %d failed, %d warning%s</source>
        <translation>%zu checks: %d failed, %d warning%s</translation>
    </message>
    <message>
        <source>node missing</source>
        <translation>node missing</translation>
    </message>
    <message>
        <source>may open</source>
        <translation>may open</translation>
    </message>
    <message>
        <source>may not open (%s)</source>
        <translation>may not open (%s)</translation>
    </message>
    <message>
        <source>held by %s</source>
        <translation>held by %s</translation>
    </message>
    <message>
        <source>No hidraw node is present.</source>
        <translation>No hidraw node is present.</translation>
    </message>
    <message>
        <source>No receiver of the kit (USB 0471:0606) is present.</source>
        <translation>No receiver of the kit (USB 0471:0606) is present.</translation>
    </message>
    <message>
        <source>no %s is present; it is not recorded</source>
        <translation>no %s is present; it is not recorded</translation>
    </message>
    <message>
        <source>no receiver of the kit (USB 0471:0606) is present</source>
        <translation>no receiver of the kit (USB 0471:0606) is present</translation>
    </message>
    <message>
        <source>%s: a FIFO that no program reads yet; waiting for one (Ctrl-C to stop)</source>
        <translation>%s: a FIFO that no program reads yet; waiting for one (Ctrl-C to stop)</translation>
    </message>
    <message>
        <source>record --json needs --output FILE: the recording goes to stdout otherwise</source>
        <translation>record --json needs --output FILE: the recording goes to stdout otherwise</translation>
    </message>
    <message>
        <source>(quillonctl doctor tells why)</source>
        <translation>(quillonctl doctor tells why)</translation>
    </message>
    <message>
        <source>stopped before anything was recorded</source>
        <translation>stopped before anything was recorded</translation>
    </message>
    <message>
        <source>writing the recording failed: %s</source>
        <translation>writing the recording failed: %s</translation>
    </message>
    <message>
        <source>recording %zu device%s; Ctrl-C to stop</source>
        <translation>recording %zu device%s; Ctrl-C to stop</translation>
    </message>
    <message>
        <source>recording %zu device%s to %s; Ctrl-C to stop</source>
        <translation>recording %zu device%s to %s; Ctrl-C to stop</translation>
    </message>
    <message>
        <source>%s went away</source>
        <translation>%s went away</translation>
    </message>
    <message>
        <source>writing the recording failed: %s; it ends with the %zu report%s before</source>
        <translation>writing the recording failed: %s; it ends with the %zu report%s before</translation>
    </message>
    <message>
        <source>%s took no more; its last line may be cut short</source>
        <translation>%s took no more; its last line may be cut short</translation>
    </message>
    <message>
        <source>%zu report%s in %s s</source>
        <translation>%zu report%s in %s s</translation>
    </message>
    <message>
        <source>(no name)</source>
        <translation>(no name)</translation>
    </message>
    <message>
        <source>%zu of %zu reports sent, %.0f s left</source>
        <translation>%zu of %zu reports sent, %.0f s left</translation>
    </message>
    <message>
        <source>warning: %s: %s</source>
        <translation>warning: %s: %s</translation>
    </message>
    <message>
        <source>%s served; run the window or quillonctl with the two variables above to see the replay</source>
        <translation>%s served; run the window or quillonctl with the two variables above to see the replay</translation>
    </message>
    <message>
        <source>%s created through /dev/uhid</source>
        <translation>%s created through /dev/uhid</translation>
    </message>
    <message>
        <source>waiting until a program opens every device (Ctrl-C to stop)</source>
        <translation>waiting until a program opens every device (Ctrl-C to stop)</translation>
    </message>
    <message>
        <source>replaying %zu reports at %gx</source>
        <translation>replaying %zu reports at %gx</translation>
    </message>
    <message>
        <source>replay stopped after %zu reports: %s</source>
        <translation>replay stopped after %zu reports: %s</translation>
    </message>
    <message>
        <source>replay done; the devices stay until Ctrl-C</source>
        <translation>replay done; the devices stay until Ctrl-C</translation>
    </message>
    <message>
        <source>replay done: %zu of %zu reports sent in %.1f s</source>
        <translation>replay done: %zu of %zu reports sent in %.1f s</translation>
    </message>
    <message>
        <source>replay stopped: %zu of %zu reports sent in %.1f s</source>
        <translation>replay stopped: %zu of %zu reports sent in %.1f s</translation>
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
        <translation>%s: &quot;%s&quot; is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ)</translation>
    </message>
    <message>
        <source>--outcome: &quot;%s&quot; is none of PASS, FAIL, ERROR, ABORTED, STARTED</source>
        <translation>--outcome: &quot;%s&quot; is none of PASS, FAIL, ERROR, ABORTED, STARTED</translation>
    </message>
    <message>
        <source>nothing to send: %s is the store itself</source>
        <translation>nothing to send: %s is the store itself</translation>
    </message>
    <message>
        <source>%d record(s) sent to %s, %d waiting</source>
        <translation>%d record(s) sent to %s, %d waiting</translation>
    </message>
    <message>
        <source>runs: %lld</source>
        <translation>runs: %lld</translation>
    </message>
    <message>
        <source>units: %lld</source>
        <translation>units: %lld</translation>
    </message>
    <message>
        <source>first-pass yield: %.1f %% (%lld of %lld)</source>
        <translation>first-pass yield: %.1f %% (%lld of %lld)</translation>
    </message>
    <message>
        <source>retests: %lld</source>
        <translation>retests: %lld</translation>
    </message>
    <message>
        <source>failures by step:</source>
        <translation>failures by step:</translation>
    </message>
    <message>
        <source>failures by key:</source>
        <translation>failures by key:</translation>
    </message>
    <message>
        <source>cannot write the output</source>
        <translation>cannot write the output</translation>
    </message>
    <message>
        <source>Receivers</source>
        <translation>Receivers</translation>
    </message>
    <message>
        <source>Keys</source>
        <translation>Keys</translation>
    </message>
    <message>
        <source>Token</source>
        <translation>Token</translation>
    </message>
    <message>
        <source>Calibration</source>
        <translation>Calibration</translation>
    </message>
    <message>
        <source>Step</source>
        <translation>Step</translation>
    </message>
    <message>
        <source>Label serial (scan or type, Enter for none):</source>
        <translation>Label serial (scan or type, Enter for none):</translation>
    </message>
    <message>
        <source>--serial: longer than %zu bytes</source>
        <translation>--serial: longer than %zu bytes</translation>
    </message>
    <message>
        <source>--serial: &quot;%s&quot; is not plain text</source>
        <translation>--serial: &quot;%s&quot; is not plain text</translation>
    </message>
    <message>
        <source>calibration: %s</source>
        <translation>calibration: %s</translation>
    </message>
    <message>
        <source>token serial %s, password %s</source>
        <translation>token serial %s, password %s</translation>
    </message>
    <message>
        <source>press every key once (%zu): %s</source>
        <translation>press every key once (%zu): %s</translation>
    </message>
    <message>
        <source>press the token key</source>
        <translation>press the token key</translation>
    </message>
    <message>
        <source>flagged: %s</source>
        <translation>flagged: %s</translation>
    </message>
    <message>
        <source>pressed: %s (%zu left)</source>
        <translation>pressed: %s (%zu left)</translation>
    </message>
    <message>
        <source>missing: %s</source>
        <translation>missing: %s</translation>
    </message>
    <message>
        <source>cannot start the output thread</source>
        <translation>cannot start the output thread</translation>
    </message>
    <message>
        <source>warning: the run&apos;s start is not recorded: %s</source>
        <translation>warning: the run&apos;s start is not recorded: %s</translation>
    </message>
    <message>
        <source>the local store, waiting for %s (%s)</source>
        <translation>the local store, waiting for %s (%s)</translation>
    </message>
    <message>
        <source>error: the record is not stored: %s</source>
        <translation>error: the record is not stored: %s</translation>
    </message>
    <message>
        <source>record: %s</source>
        <translation>record: %s</translation>
    </message>
    <message>
        <source>error: cannot write %s</source>
        <translation>error: cannot write %s</translation>
    </message>
    <message>
        <source>%s: longer than %zu bytes: &quot;%s&quot;...</source>
        <translation>%s: longer than %zu bytes: &quot;%s&quot;...</translation>
    </message>
    <message>
        <source>%s: holds a control character, U+FFFE, U+FFFF or bytes that are not UTF-8: &quot;%s&quot;</source>
        <translation>%s: holds a control character, U+FFFE, U+FFFF or bytes that are not UTF-8: &quot;%s&quot;</translation>
    </message>
    <message>
        <source>warning: %s &quot;%s&quot; is not %zu digits; sent as it is</source>
        <translation>warning: %s &quot;%s&quot; is not %zu digits; sent as it is</translation>
    </message>
    <message>
        <source>press the token key (%.0f s)</source>
        <translation>press the token key (%.0f s)</translation>
    </message>
    <message>
        <source>no token input within %d s</source>
        <translation>no token input within %d s</translation>
    </message>
    <message>
        <source>stdout is closed; watch has nowhere to write</source>
        <translation>stdout is closed; watch has nowhere to write</translation>
    </message>
    <message>
        <source>writing to stdout failed: %s</source>
        <translation>writing to stdout failed: %s</translation>
    </message>
    <message>
        <source>%llu event%s not written: stdout did not keep up</source>
        <translation>%llu event%s not written: stdout did not keep up</translation>
    </message>
    <message>
        <source>%s (result %d)</source>
        <translation>%s (result %d)</translation>
    </message>
    <message>
        <source>unknown subcommand %s (see --help)</source>
        <translation>unknown subcommand %s (see --help)</translation>
    </message>
    <message>
        <source>unexpected argument %s (see --help)</source>
        <translation>unexpected argument %s (see --help)</translation>
    </message>
    <message>
        <source>verify needs either --serial and --password, or --wait</source>
        <translation>verify needs either --serial and --password, or --wait</translation>
    </message>
    <message>
        <source>record: unknown option %s (see --help)</source>
        <translation>record: unknown option %s (see --help)</translation>
    </message>
    <message>
        <source>no subcommand</source>
        <translation>no subcommand</translation>
    </message>
    <message>
        <source>key repeat %s after %.0f ms</source>
        <translation>key repeat %s after %.0f ms</translation>
    </message>
    <message>
        <source>key down %s</source>
        <translation>key down %s</translation>
    </message>
    <message>
        <source>key up %s</source>
        <translation>key up %s</translation>
    </message>
    <message>
        <source>token %s</source>
        <translation>token %s</translation>
    </message>
    <message>
        <source>token %s %s %s</source>
        <translation>token %s %s %s</translation>
    </message>
    <message>
        <source>verification %s</source>
        <translation>verification %s</translation>
    </message>
    <message>
        <source>summary: %llu keys, %llu repeats, repeat interval mean %.0f ms, max %.0f ms; frames: %s</source>
        <translation>summary: %llu keys, %llu repeats, repeat interval mean %.0f ms, max %.0f ms; frames: %s</translation>
    </message>
    <message>
        <source>none</source>
        <translation>none</translation>
    </message>
</context>
</TS>
