// Ids of the dialog templates, their controls and the tray menu; shared by
// dialogs.rc and the window code.
#pragma once

#define IDD_MAIN            5
#define IDD_CONFIG_PAGE     103
#define IDD_LOG_PAGE        104
#define IDI_TIDEMARK_ICON   105
#define IDM_TRAY            107
#define IDD_INSTANCE_GUARD  108

#define IDC_STATUS          1001
#define IDC_TAB             1002
#define IDC_LOG_TEXT        1008
#define IDC_PROGRAM_ICON    1010
#define IDC_MYPAGE          1013
#define IDC_EXEC_GAME       1015
#define IDC_EXIT_TO_TRAY    1018
#define IDC_EXEC_ON_TRAY    1020
#define IDC_HOME_LINK       1027
#define IDC_LANGUAGE        1028

#define IDM_OPEN            40003
#define IDM_EXIT            40004

#ifndef IDC_STATIC
#define IDC_STATIC          (-1)
#endif
