// Resource ids of the capture program's window.
#pragma once

#define IDS_APP_TITLE 103
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDC_PEMRIKPROCESSOR 109
#define IDI_PEMRIKPROCESSOR 129
