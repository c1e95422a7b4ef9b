<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>quorrel</name>
    <message>
        <source>本程序下载文件               本下载程序不支持自动跳转！</source>
        <translation>Downloads of this program               (no automatic redirects)</translation>
    </message>
    <message>
        <source>请点击开始按钮进行数据监听</source>
        <translation>Click Start to watch the traffic</translation>
    </message>
    <message>
        <source>选择取得的资源点右键下载文件</source>
        <translation>Tick found resources, then right-click to download them</translation>
    </message>
    <message>
        <source>开始监听</source>
        <translation>Watching</translation>
    </message>
    <message>
        <source>暂停监听</source>
        <translation>Watching paused</translation>
    </message>
    <message>
        <source>继续监听</source>
        <translation>Watching again</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Continue</translation>
    </message>
    <message>
        <source>开始监测上网数据......</source>
        <translation>Watching the web traffic......</translation>
    </message>
    <message>
        <source>请选择取得资源下的资源，点击右键下载文件</source>
        <translation>Tick resources under Found resources, then right-click to download them</translation>
    </message>
    <message>
        <source>取得资源</source>
        <translation>Found resources</translation>
    </message>
    <message>
        <source>已下载资源</source>
        <translation>Downloaded resources</translation>
    </message>
    <message>
        <source>状态     文件地址/文件名</source>
        <translation>State     Address/file name</translation>
    </message>
    <message>
        <source>保存文件名</source>
        <translation>Saved as</translation>
    </message>
    <message>
        <source>aria2 的地址无效（config.ini 的 aria2dz）：</source>
        <translation>Not an aria2 address (aria2dz in config.ini): </translation>
    </message>
    <message>
        <source>无法连接 aria2：</source>
        <translation>Cannot reach aria2: </translation>
    </message>
    <message>
        <source>aria2 拒绝了下载：</source>
        <translation>aria2 refused the download: </translation>
    </message>
    <message>
        <source>aria2 的回答无法读取：</source>
        <translation>aria2&apos;s answer cannot be read: </translation>
    </message>
    <message>
        <source>停止监听</source>
        <translation>Watching stopped</translation>
    </message>
</context>
<context>
    <name>quorrel::PreviewPane</name>
    <message>
        <source>服务器的证书未通过验证：</source>
        <translation>The server&apos;s certificate did not pass verification: </translation>
    </message>
    <message>
        <source>找不到服务器：</source>
        <translation>Server not found: </translation>
    </message>
    <message>
        <source>无法连接到服务器：</source>
        <translation>Cannot connect to the server: </translation>
    </message>
    <message>
        <source>双击关闭预览</source>
        <translation>Double-click to close the preview</translation>
    </message>
    <message>
        <source>放大</source>
        <translation>Enlarge</translation>
    </message>
</context>
<context>
    <name>quorrel::PromoStrip</name>
    <message>
        <source>免费建站，拥有自己的网页</source>
        <translation>Free web sites for all</translation>
    </message>
    <message>
        <source>点击广告赚现金——开源广告联盟</source>
        <translation>Ads that pay you cash</translation>
    </message>
    <message>
        <source>0投入,高回报！能上网就能赚钱！</source>
        <translation>Earn money online!</translation>
    </message>
</context>
<context>
    <name>quorrel::RenamePanel</name>
    <message>
        <source>下载文件名更改</source>
        <translation>Change the names of the downloads</translation>
    </message>
    <message>
        <source>下载地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>quorrel::SettingsPanel</name>
    <message>
        <source>参数设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>保存设置</source>
        <translation>Save the settings</translation>
    </message>
    <message>
        <source>提示更改文件名</source>
        <translation>Ask for the file names</translation>
    </message>
    <message>
        <source>本 程 序 下 载</source>
        <translation>This program downloads</translation>
    </message>
    <message>
        <source>其他下载工具下载</source>
        <translation>Another download tool (clipboard)</translation>
    </message>
    <message>
        <source>交给 aria2 下载</source>
        <translation>Hand over to aria2</translation>
    </message>
    <message>
        <source>保存路径</source>
        <translation>Save folder</translation>
    </message>
    <message>
        <source>下载方式</source>
        <translation>Download mode</translation>
    </message>
    <message>
        <source>类型名称</source>
        <translation>Type name</translation>
    </message>
    <message>
        <source>类型扩展名</source>
        <translation>Type extensions</translation>
    </message>
    <message>
        <source>基本设置</source>
        <translation>General</translation>
    </message>
    <message>
        <source>监测文件类型</source>
        <translation>File types watched</translation>
    </message>
    <message>
        <source>增加类型</source>
        <translation>Add a type</translation>
    </message>
    <message>
        <source>删除类型</source>
        <translation>Delete the type</translation>
    </message>
    <message>
        <source>保存类型</source>
        <translation>Save the types</translation>
    </message>
</context>
<context>
    <name>quorrel::SingleWindow</name>
    <message>
        <source>无法在 %1 建立锁文件（%2），不能确认没有另一个窗口在使用这个文件夹。</source>
        <translation>Cannot make the lock file in %1 (%2): cannot make sure that no other window uses this folder.</translation>
    </message>
    <message>
        <source>没有写入权限</source>
        <translation>no permission to write</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>unknown error</translation>
    </message>
    <message>
        <source>无法接收再次启动时的请求（%1）：%2</source>
        <translation>Cannot receive the requests of a second start (%1): %2</translation>
    </message>
    <message>
        <source>同一个文件夹只能开一个窗口：两个窗口会互相覆盖 %1。</source>
        <translation>Only one window may use a folder: two windows would overwrite each other&apos;s %1.</translation>
    </message>
    <message>
        <source>文件夹 %1 已经有一个 Quorrel 窗口在运行，已把它提到最前面。%2</source>
        <translation>A Quorrel window is already running for the folder %1; it has been brought to the front. %2</translation>
    </message>
    <message>
        <source>文件夹 %1 已经有一个 Quorrel 窗口在运行%2，但它没有回应。%3</source>
        <translation>A Quorrel window is already running for the folder %1%2, but it does not answer. %3</translation>
    </message>
    <message>
        <source>（进程 %1）</source>
        <translation> (process %1)</translation>
    </message>
</context>
<context>
    <name>quorrel::TMainform</name>
    <message>
        <source>本程序又被启动了一次：同一个文件夹只开一个窗口（两个窗口会互相覆盖 %1），所以回到了这个窗口。</source>
        <translation>The program was started again: one folder has one window (two would overwrite each other&apos;s %1), so this window is shown instead.</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>开始监听上网数据</source>
        <translation>Start watching the web traffic</translation>
    </message>
    <message>
        <source>暂停监听</source>
        <translation>Watching paused</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>停止监听</source>
        <translation>Stop watching</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>清除资源</source>
        <translation>Clear the resources</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>预览brow</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>分析本节点</source>
        <translation>Analyse this node</translation>
    </message>
    <message>
        <source>下载选择文件</source>
        <translation>Download the ticked files</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>清除本结点资源</source>
        <translation>Clear this node&apos;s resources</translation>
    </message>
    <message>
        <source>程序以 root 身份运行：预览页面在没有浏览器沙箱保护的情况下打开。</source>
        <translation>The program runs as root: the preview opens pages without the browser&apos;s sandbox.</translation>
    </message>
    <message>
        <source>已交给 aria2 下载（GID %1）：%2</source>
        <translation>Handed over to aria2 (GID %1): %2</translation>
    </message>
    <message>
        <source>交给 aria2 时没有带上不是 UTF-8 文字的请求头 %1：%2</source>
        <translation>Handed over to aria2 without the headers %1, which are not UTF-8 text: %2</translation>
    </message>
    <message>
        <source>。资源已放回列表：</source>
        <translation>. The resource is back in the list: </translation>
    </message>
</context>
</TS>
