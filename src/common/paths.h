// Fixed paths of the device, compiled into the program.
#pragma once

namespace paths {
inline constexpr const char* kDocumentRoot = "/mnt/app/web_root";
inline constexpr const char* kRouteFile = "/mnt/app/web_root/config/route.txt";
inline constexpr const char* kAuthFile = "/mnt/app/web_root/config/auth.txt";
inline constexpr const char* kIndexPage = "login.html";
inline constexpr const char* kLanguageFile = "/mnt/app/web_root/config/language_para";
inline constexpr const char* kCommandTable = "/mnt/app/web_root/config/command_para";
inline constexpr const char* kUserFile = "/mnt/usr/config/app_parameters/usermgnt_para";
inline constexpr const char* kWebServerParamFile = "/mnt/usr/config/app_parameters/WebServerParameter.json";
inline constexpr const char* kWatermarkDir = "/mnt/app/web_root/images/watermark/";
inline constexpr const char* kEdidDir = "/mnt/app/";
inline constexpr const char* kActiveEdid = "/mnt/app/QX_HDMI_EDID.bin";
inline constexpr const char* kCustomEdid = "/mnt/app/QX_HDMI_EDID_CSTM.bin";
inline constexpr const char* kUpgradeImage = "/tmp/upgrade";
inline constexpr const char* kSdRoot = "/mnt/app/web_root/sd/";
inline constexpr const char* kSdMarker = "/mnt/app/web_root/sd/recodefilelist.txt";
inline constexpr const char* kLogAddress = "ipc:///tmp/ipc/log";
}  // namespace paths
