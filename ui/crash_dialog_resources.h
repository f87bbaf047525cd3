#pragma once
// Resource identifiers of the crash dialog, shared by crash_dialog.rc and the
// code. Preprocessor definitions only: the resource compiler reads this file.

#define IDI_APP_ICON 101
#define IDD_CRASH_DIALOG 102
#define IDI_BADGE_ICON 107
#define IDC_PROGRESS 1001
#define IDC_APP_ICON 1002
#define IDC_BADGE_ICON 1003
