"""What a user of the bootstrapper reads: window titles and messages, written out here from the product's
wording (never taken from the product itself), once for every test that checks them."""

# Titles.
MESSAGE_TITLE = "Corvane 轻量版"
CONSENT_TITLE = "Corvane 轻量版 — 需要运行环境"
DOWNLOAD_TITLE = "Corvane 轻量版 — 下载运行环境"

# Any unexpected failure: the entry point's own text, and the download worker's.
GENERIC_FAILURE = "轻量版未能启动，请重新尝试或使用完整版。"
DOWNLOAD_GENERIC_FAILURE = "下载或校验失败，请稍后重试。"

# Start-up and the cache.
BUSY_TEXT = "另一个轻量版启动或安装窗口正在处理中，请先完成该窗口。"
UNUSABLE_DIRECTORY = "轻量版工作目录不可用，请选择普通本地文件夹。"
LOCATION_UNUSABLE = "轻量版文件位置不可用。"
REPLACE_FAILED = "无法准备轻量版文件，请关闭正在运行的同版本程序后重试。"
WRITE_FAILED = "写入轻量版文件失败。"
VERIFY_FAILED = "轻量版文件校验失败，请重新下载。"
INCOMPLETE = "轻量版文件不完整，请重新下载。"
CANNOT_READ = "无法读取需要校验的文件。"

# The download.
CANCELLING_TEXT = "正在取消下载，请稍候……"
UNAVAILABLE = "微软下载服务暂时不可用，请稍后重试。"
NOT_FINISHED = "下载未完成，请检查网络或代理后重试。"
INTERRUPTED = "下载连接中断，请重试。"
TOO_LARGE = "下载文件大小异常，已停止。"
DOWNLOAD_INCOMPLETE = "下载文件不完整。"
DIGEST_REFUSED = "下载文件校验未通过，已停止安装。请检查网络后重试。"
SIGNATURE_REFUSED = "无法确认安装文件的微软签名，已停止安装。请检查系统时间和证书状态后重试。"
SAVE_FAILED = "保存下载文件失败，请检查磁盘空间。"

# Staging and running the installer.
STAGING_FAILED = "无法准备下载文件。"
START_FAILED = "无法启动微软安装程序，请重新尝试或使用完整版。"
RESTART_NEEDED = "运行环境已安装，需要重启电脑。重启后重新打开轻量版即可。"
NOT_READY = "安装已结束，但所需运行环境尚未就绪。请重启后重试，或使用完整版。"


def failed_with(code):
    return f"运行环境安装未完成（错误码 {code}）。请重试或使用完整版。"


def received_text(mebibytes):
    return f"正在从微软官方下载运行环境，已接收 {mebibytes} MB。\n下载完成后会自动校验文件。"
