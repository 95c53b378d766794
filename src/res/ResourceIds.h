/* Resource and control ids of Vestrel.rc. Plain defines: the resource compiler reads this file.
   The pages name the same ids in their own headers; a unit test keeps the two in step. */
#pragma once

#define IDI_VESTREL 128
#define IDD_WELCOME_PAGE 104
#define IDD_DOWNLOAD_PAGE 105
#define IDB_WELCOME 1031

#define IDC_NOTICE_TEXT 1021
#define IDC_WELCOME_PICTURE 1022
#define IDC_AGREE_CHECK 1025
#define IDC_CAUTION_TEXT 1026

#define IDC_OVERALL_BAR 1030
#define IDC_PERCENT_LABEL 1031
#define IDC_PHASE_BAR 1032
#define IDC_STATUS_LINE 1033
