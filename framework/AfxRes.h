// Standard command and string ids of the framework, for the resource script and the code.
#pragma once

#define ID_APP_ABOUT 0xE140
#define ID_APP_EXIT 0xE141
#define ID_HELP 0xE146
#define AFX_IDS_APP_TITLE 0xE000

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
