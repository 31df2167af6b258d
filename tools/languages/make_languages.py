#!/usr/bin/env python3
"""Writes the language files of Languages/ (UTF-16LE with the mark FF FE, CR LF lines) from the
tables below: every key the program reads, in English (0x0409) and Simplified Chinese (0x0804).
Run it after changing a text; the files it writes are committed."""
import os
import sys

MESSAGES = [
    ("Restarting", "Restarting", "正在重启"),
    ("Normal", "Normal", "正常"),
    ("Lost", "Lost (%d/%d)", "丢失 (%d/%d)"),
    ("Timeout", "Timeout (%d/%d)", "超时 (%d/%d)"),
    ("PausedMonitor", "Paused Monitor", "暂停监视"),
    ("NetworkStatusNormal", "Network Status Self Test: Normal", "网络状态自检：正常"),
    ("NetworkStatusTimeout", "Network Status Self Test: Timeout(%d/%d)", "网络状态自检：超时(%d/%d)"),
    ("NetworkStatusReinit", "Network Status Self Test: Reinitialize", "网络状态自检：重新初始化"),
    ("MsgTextDelServer", 'Are you sure to Delete "%s"?', '确定要删除“%s”吗？'),
    ("MsgTextDelSelServers", "Are you sure to Delete selected servers?", "确定要删除所选的服务器吗？"),
    ("MsgTextCloseServer", 'Are you sure to Close "%s"?', '确定要关闭“%s”吗？'),
    ("MsgTextCloseSelServers", "Are you sure to Close selected servers?", "确定要关闭所选的服务器吗？"),
    ("MsgTextRestartServer", 'Are you sure to Restart "%s"?', '确定要重启“%s”吗？'),
    ("MsgTextRestartSelServers", "Are you sure to Restart selected servers?", "确定要重启所选的服务器吗？"),
    ("MsgTextRegisterBossKeyFailed", "Register Boss Key Failed!!!", "注册老板键失败！！！"),
    ("MsgTextSelectExeuteFile", "Please select a executable file!", "请选择一个可执行文件！"),
    ("MsgTextExeuteFileNotExits", "The selected executable file isn't exists!", "所选的可执行文件不存在！"),
    ("MsgTextCannotGetPort", "Can't get Port from parameters!", "无法从运行参数中取得端口！"),
    ("MsgTextExeuteFileInList", "The selected executable file has in the list!", "所选的可执行文件已在列表中！"),
    ("MsgTextIPPortInList", "The IP:Port is already in the list!", "该 IP:端口 已在列表中！"),
    ("MsgTextMustSelectCPU", "Must select at least one CPU!", "至少要选择一个 CPU！"),
    ("MsgTextInstallServiceSuccessful", "Install Service Successful!", "安装服务成功！"),
    ("MsgTextUninstallServiceSuccessful", "Uninstall Service Successful!", "卸载服务成功！"),
    ("MsgTextInstallServiceFailed", "Install Service Failed!", "安装服务失败！"),
    ("MsgTextUninstallServiceFailed", "Uninstall Service Failed!", "卸载服务失败！"),
]

# Texts beyond the list's own (a failed start, the options of kesp.ini), applied after the others.
EXTRA = [
    ("CrashLoopPaused", "Paused Monitor. Reason: %d restarts within %d minutes.",
     "暂停监视。原因：%d 次重启发生在 %d 分钟内。"),
    ("StartFailed", "Start failed: %s", "启动失败：%s"),
    ("PriorityNotApplied", "Priority not applied: %s", "优先级未能应用：%s"),
    ("AffinityNotApplied", "Processor affinity not applied: %s", "处理器关联未能应用：%s"),
    ("PlannedRestart", "Restarting. Reason: Planned restart.", "正在重启。原因：计划重启。"),
]

PARAMS_EN = ('&Run Parameters (Must be use console mode "-console"; If you want to specify IP Address, '
             'Use "+ip n.n.n.n"; If you want to specify Port, Use "+port n"):')
PARAMS_ZH = ('运行参数(&R)（必须使用控制台模式“-console”；如需指定 IP 地址，请使用“+ip n.n.n.n”；'
             '如需指定端口，请使用“+port n”）：')

EDITOR = [
    ("lblPriority.Caption", "&Priority:", "优先级(&P)："),
    ("lblParams.Caption", PARAMS_EN, PARAMS_ZH),
    ("lblExeFile.Caption", "&Executable File:", "可执行文件(&E)："),
    ("lblServerName.Caption", "Server &Name:", "服务器名称(&N)："),
    ("btnBrowse.Caption", "&Browse...", "浏览(&B)..."),
    ("btnOK.Caption", "&OK", "确定(&O)"),
    ("btnCancel.Caption", "&Cancel", "取消(&C)"),
    ("cbbPriority.Items[0]", "Normal", "普通"),
    ("cbbPriority.Items[1]", "High", "高"),
    ("cbbPriority.Items[2]", "Real Time", "实时"),
    ("cbbHideServer.Caption", "&Hide The Server", "隐藏服务器(&H)"),
    ("btnProcessAffinity.Caption", "Process &Affinity", "处理器关联(&A)"),
    ("gbProcessAffinity.Caption", "Process Affinity", "处理器关联"),
] + [("cbCPU%d.Caption" % n, "CPU_%d" % n, "CPU_%d" % n) for n in range(32)] + [
    ("DlgOpen.Filter", "Executable file (*.exe)|*.exe|Any file (*.*)|*.*",
     "可执行文件 (*.exe)|*.exe|所有文件 (*.*)|*.*"),
    ("frmAddServer.Caption", "New Server for Monitor", "新建监视的服务器"),
    ("frmEditServer.Caption", "Edit Server", "编辑服务器"),
]

BOSS = [
    ("frmSetBosskey.Caption", "Set Boss Key", "设置老板键"),
    ("cbUseBossKey.Caption", "&Use Boss Key", "使用老板键(&U)"),
]

MAIN = [
    ("menuPauseServer.Caption", "&Pause Monitor", "暂停监视(&P)"),
    ("menuUnpauseServer.Caption", "Un&pause Monitor", "恢复监视(&P)"),
    ("Separator1.Caption", "-", "-"),
    ("menuEditServer.Caption", "&Edit Server...", "编辑服务器(&E)..."),
    ("menuNewServer.Caption", "&New Server...", "新建服务器(&N)..."),
    ("menuDeleteServer.Caption", "&Delete Server(s)...", "删除服务器(&D)..."),
    ("Separator2.Caption", "-", "-"),
    ("menuShowServer.Caption", "&Show Server(s)", "显示服务器(&S)"),
    ("menuHideServer.Caption", "&Hide Server(s)", "隐藏服务器(&H)"),
    ("Separator3.Caption", "-", "-"),
    ("menuRestartServer.Caption", "&Restart Server(s)...", "重启服务器(&R)..."),
    ("menuCloseServer.Caption", "&Close Server(s)...", "关闭服务器(&C)..."),
    ("menuShowWindow.Caption", "&Show Window...", "显示窗口(&S)..."),
    ("miSeparator.Caption", "-", "-"),
    ("menuExit2.Caption", "&Exit", "退出(&E)"),
    ("menuFile.Caption", "&File", "文件(&F)"),
    ("menuInstallService.Caption", "&Install Service", "安装服务(&I)"),
    ("menuUninstallService.Caption", "&Uninstall Service", "卸载服务(&U)"),
    ("menuExit.Caption", "E&xit", "退出(&X)"),
    ("menuSettings.Caption", "&Settings", "设置(&S)"),
    ("menuLanguage.Caption", "&Language", "语言(&L)"),
    ("None1.Caption", "(&None)", "(无)(&N)"),
    ("menuBossKey.Caption", "&Boss Key...", "老板键(&B)..."),
    ("menuHelp.Caption", "&Help", "帮助(&H)"),
    ("menuAbout.Caption", "&About...", "关于(&A)..."),
    ("N1.Caption", "&Clear Logs", "清除日志(&C)"),
] + [("LV.Column[%d].Caption" % i, en, zh) for i, (en, zh) in enumerate([
    ("Server Name", "服务器名称"), ("IP Address", "IP 地址"), ("Port", "端口"),
    ("Executable File", "可执行文件"), ("Priority", "优先级"), ("Process Status", "进程状态"),
    ("Network Status", "网络状态"), ("Map", "地图"), ("Players", "玩家"), ("Restarts", "重启次数")])]

LANGUAGES = [
    ("English.ini", "0x0409", "English", 1),
    ("SimplifiedChinese.ini", "0x0804", "简体中文", 2),
]


def write(folder, name, language_id, caption, column):
    lines = ["[Language]", "LanguageID=" + language_id, "", "[KESP]", "Menu_Caption=" + caption, ""]
    for group in (MESSAGES, EDITOR, BOSS, MAIN, EXTRA):
        lines += ["%s=%s" % (row[0], row[column]) for row in group]
        lines.append("")
    text = "\r\n".join(lines)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(b"\xff\xfe" + text.encode("utf-16-le"))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "Languages")
    os.makedirs(folder, exist_ok=True)
    for name, language_id, caption, column in LANGUAGES:
        write(folder, name, language_id, caption, column)
    keys = {"Menu_Caption"} | {row[0] for group in (MESSAGES, EDITOR, BOSS, MAIN, EXTRA) for row in group}
    print("%d keys in section KESP" % len(keys))


if __name__ == "__main__":
    main()
