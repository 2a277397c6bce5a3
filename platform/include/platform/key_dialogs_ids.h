/* Control and string numbers of the cryptographic provider's dialogs, shared by their resource
 * script and the code that runs them. The templates themselves are named "IDD_PIN",
 * "IDD_XKEYBOARD" and "IDD_FINGERPRINT". */
#ifndef PLATFORM_KEY_DIALOGS_IDS_H
#define PLATFORM_KEY_DIALOGS_IDS_H

#define IDC_PIN_EDIT 1001
#define IDC_PIN_LABEL 1002
#define IDC_KEYBOARD_PLACE 1003
/* The on-screen keys, in the order "1234567890", then backspace and clear. */
#define IDC_KEY_1 1011
#define IDC_KEY_2 1012
#define IDC_KEY_3 1013
#define IDC_KEY_4 1014
#define IDC_KEY_5 1015
#define IDC_KEY_6 1016
#define IDC_KEY_7 1017
#define IDC_KEY_8 1018
#define IDC_KEY_9 1019
#define IDC_KEY_0 1020
#define IDC_KEY_BACK 1021
#define IDC_KEY_CLEAR 1022

#define IDC_FP_PICTURE 1101
#define IDC_FP_STATUS 1102

#define IDS_BOX_CAPTION 2001
#define IDS_FP_WAITING 2002
#define IDS_FP_MISMATCH 2003
#define IDS_FP_SUCCESS 2004
#define IDS_FP_ERROR 2005

#endif
