// Resource ids of Quorvane: dialog templates, controls, commands and strings.
#pragma once

#include "AfxRes.h"

// Shared by the main frame's menu, accelerator table, icon and title string.
#define IDR_MAINFRAME 128

// Strings
#define IDS_OLE_INIT_FAILED 100
#define IDS_SOCKETS_INIT_FAILED 104

// Dialog templates of the wizard steps
#define IDD_WIZARD_STEP_TWO_DECODE 9
#define IDD_WIZARD_STEP_ONE 101
#define IDD_WIZARD_STEP_TWO_ENCODE 102

// Other dialog templates
#define IDD_ABOUTBOX 100
#define IDD_ENC_PROGRESS 130
#define IDD_SEL_FILES 132
#define IDD_FILE_REPORT 134

// Home step
#define IDC_ADD_SIGNATURE 1000
#define IDC_CHECK_SIGNATURE 1001

// Add-signature step
#define IDC_SELECT_FILES 1002
#define IDC_ENCRYPT_FILES 1003
#define IDC_SIGNATURE 1005
#define IDC_BACK 1011
#define IDC_BROWSE 1014
#define IDC_DEST_FOLDER 1030
#define IDC_SIGNATURE_PROMPT 1036
#define IDC_FILE_COUNT 1037

// Check-signature step
#define IDC_GO_BACK 1008
#define IDC_SELECT_FILE 1009
#define IDC_SIGNATURE_VIEW 1010

// Progress dialog
#define IDC_PROGRESS 1012
#define IDC_PROGRESS_STATUS 1017
#define IDC_CANCEL_SIGNING 1018
#define IDC_PROGRESS_FILE 1019
#define IDC_PROGRESS_DONE 1020
#define IDC_PROGRESS_RATE 1021

// File list dialog
#define IDC_FILE_LIST 1031
#define IDC_ADD_FILES 1034
#define IDC_REMOVE_FILES 1035

// File report: the files a run did not sign, the files of a check
#define IDC_REPORT_SUMMARY 1040
#define IDC_REPORT_LIST 1041
#define IDC_REPORT_TEXT 1042
#define IDC_REPORT_COPY 1043
#define IDC_REPORT_SAVE 1044

// About box
#define IDC_WEB_LINK 1025

// Commands
#define ID_HELP_TOPICS 32771
