/* Resource ids of the data source: strings and the dialog template. Shared by
 * the resource script and the code. */
#ifndef ZORVIK_IDS_H
#define ZORVIK_IDS_H

#define IDS_MANUFACTURER 0
#define IDS_PRODUCT_FAMILY 1
#define IDS_PRODUCT_NAME 2
#define IDS_VERSION_INFO 3
#define IDS_CAPTION 6
#define IDS_NO_CAMERA_FOUND 7
#define IDS_CAMERA_LOST 8
/* Status text of library code n (0xFFFF0000 + n): string n + 100. */
#define IDS_STATUS_BASE 100

/* The capture dialog's request for the previewed picture (lParam: HGLOBAL *). */
#define CDM_GETPICTURE (WM_USER + 42)

#endif
