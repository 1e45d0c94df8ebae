// The keys a language file must provide: its sections, the message and caption keys of section
// "PROMPT", and the main window's control keys.
#pragma once

#include <array>
#include <string_view>

namespace lang {

inline constexpr std::string_view kLangSection = "LANG";
inline constexpr std::string_view kPromptSection = "PROMPT";
inline constexpr std::string_view kAppNameKey = "IDS_TEXT_APPNAME";
inline constexpr int kMainWindowId = 102;
inline constexpr std::string_view kMainWindowSection = "DIALOG_102";

// Section "PROMPT": messages, button captions and configuration dialog captions.
inline constexpr auto kPromptKeys = std::to_array<std::string_view>({
    // Provisioning worker progress and errors.
    "IDS_CHECK_KEY_ERROR",
    "IDS_CLEAN_VENDOR",
    "IDS_CLEAN_VENDOR_ERROR",
    "IDS_CREATE_ZRCOMM_ERROR",
    "IDS_CREATE_ZRSCAN_ERROR",
    "IDS_GET_KEY",
    "IDS_GET_KEY_ERROR",
    "IDS_GET_MISC_OFFSET_ERROR",
    "IDS_INVALID_VENDOR_ERROR",
    "IDS_KEY_EXIST_ERROR",
    "IDS_KEY_SIZE_LARGER",
    "IDS_NEW_BUFFER_ERROR",
    "IDS_PROCCESS_OK",
    "IDS_READING_RKP",
    "IDS_READING_RKP_ERROR",
    "IDS_READING_SN",
    "IDS_READ_MISC",
    "IDS_READ_MISC_ERROR",
    "IDS_READ_SN_ERROR",
    "IDS_READ_VENDOR",
    "IDS_READ_VENDOR_ERROR",
    "IDS_RESET_DEVICE",
    "IDS_RESET_ERROR",
    "IDS_SAVE_RKP_ERROR",
    "IDS_TEST_DEVICE_ERROR",
    "IDS_UPDATE_KEYFILE_ERROR",
    "IDS_KEYFILE_STOPPED",
    "IDS_WAIT_DEVICE",
    "IDS_WAIT_DEVICE_ERROR",
    "IDS_WRITE_KEY_ERROR",
    "IDS_WRITE_KEY_MISC_ERROR",
    "IDS_WRITE_MISC",
    "IDS_WRITE_VENDOR",
    // Main window.
    "IDS_LOADING_FW_BUTTON",
    "IDS_LOADING_FW_FAIL",
    "IDS_START_BUTTON",
    "IDS_STOP_BUTTON",
    "IDS_STOPPING_BUTTON",
    // Configuration dialog; IDS_MISC, IDS_VENDORSTORAGE and IDS_OTHER name the destinations 0..2.
    "IDS_INFO_CONFIG",
    "IDS_INFO_CONFIG_CANCEL",
    "IDS_INFO_CONFIG_SAVE",
    "IDS_INFO_GENERAL",
    "IDS_INFO_KEYBOX",
    "IDS_INFO_KEYBOX_FILEPATH",
    "IDS_INFO_RKP",
    "IDS_KEYBOX_DEST",
    "IDS_REBOOTAFTER",
    "IDS_RKP_SAVEPATH",
    "IDS_MISC",
    "IDS_VENDORSTORAGE",
    "IDS_OTHER",
    "IDS_TEXT_APPNAME",
});

// Section "DIALOG_102": the main window's buttons, labels and device-table headers.
inline constexpr auto kMainWindowKeys = std::to_array<std::string_view>({
    "DIALOG_TITLE",
    "BUTTON_1000",             // load key file
    "BUTTON_1001",             // start
    "BUTTON_1002",             // exit
    "BUTTON_1017",             // configuration
    "LABEL_1003",              // success caption
    "LABEL_1004",              // success counter
    "LABEL_1005",              // fail caption
    "LABEL_1006",              // fail counter
    "LABEL_1007",              // total caption
    "LABEL_1008",              // total counter
    "LABEL_1009",              // key file (caption ends with an ASCII colon)
    "LABEL_1010",              // key count (caption ends with an ASCII colon)
    "LABEL_1012",              // unused keys (caption ends with an ASCII colon)
    "LABEL_1014",              // creation time (caption ends with an ASCII colon)
    "LISTVIEW_1016_Header_0",  // slot
    "LISTVIEW_1016_Header_1",  // port
    "LISTVIEW_1016_Header_2",  // status
});

// Labels whose text is a caption up to the first ASCII colon followed by a value.
inline constexpr std::array<int, 4> kCaptionLabels = {1009, 1010, 1012, 1014};

}  // namespace lang
