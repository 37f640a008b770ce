// The status texts the updater shows: on standard output and to the lobby.
// The lobby and its users see them as they are, so they are fixed to the
// character (full-width and ASCII punctuation as written).
#pragma once

// Start.
constexpr wchar_t kStatusNoRights[] = L"更新程序权限不够!";
constexpr wchar_t kStatusNetworkFailed[] = L"初始化网络失败！";
constexpr wchar_t kStatusNoClient[] = L"创建网络连接对象失败！";
constexpr wchar_t kStatusCheckNotStarted[] = L"启动下载失败，无法执行更新！";
constexpr wchar_t kStatusChecking[] = L"正在检查更新......";

// Update check.
constexpr wchar_t kStatusCheckFailed[] = L"更新检测失败！";
constexpr wchar_t kStatusUpToDate[] = L"当前已是最新版本！";
constexpr wchar_t kStatusCounting[] = L"正在统计需要更新的文件...";
constexpr wchar_t kStatusListFailed[] = L"更新列表失败!";
constexpr wchar_t kStatusDisconnected[] = L"与更新服务器连接断开!";
// With a public key: no valid signature, another game, a download without
// a digest. Without one too: a malformed digest.
constexpr wchar_t kStatusListRefused[] = L"更新列表校验失败!";
// With a public key: a manifest that has expired or is older than one
// accepted before (the clock may be wrong).
constexpr wchar_t kStatusListStale[] = L"更新列表已过期，请检查电脑的日期和时间!";

// Installation.
constexpr wchar_t kStatusDirectoryFailed[] = L"创建目录失败，请确定您有足够的权限！";
constexpr wchar_t kStatusUpdateFailed[] = L"更新失败!";
constexpr wchar_t kStatusFileFailed[] = L"更新文件失败!";
constexpr wchar_t kStatusFileRefused[] = L"更新文件校验失败!";
constexpr wchar_t kStatusLobbyStillRunning[] = L"更新程序需要关闭游戏大厅才能继续，请先关闭大厅然后再重试!";
constexpr wchar_t kStatusDone[] = L"更新完成!";
// The game folder's volume has less free space than the run needs; checked
// before the first download, so nothing was changed.
constexpr wchar_t kStatusNoSpace[] = L"磁盘空间不足，无法更新，请清理磁盘后重试!";

// Repair ("repair" after the three arguments).
constexpr wchar_t kStatusVerifying[] = L"正在校验游戏文件...";
// The manifest's files carry no "sha256" to check them against; nothing
// was changed.
constexpr wchar_t kStatusRepairNoDigests[] = L"更新列表没有文件校验值，无法修复!";
