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
/* Progress texts in the capture dialog's caption ("%s - %s, please wait..."). */
#define IDS_PROGRESS_UPLOADING_IMAGE 9
#define IDS_PROGRESS_UPLOADING_THUMBNAILS 10
#define IDS_PROGRESS_STOPPING_CAPTURE 11
#define IDS_PROGRESS_STOPPING_UPLOAD 12
#define IDS_PROGRESS_GRABBING_IMAGE 13   /* slot + 1 */
#define IDS_PROGRESS_THUMBNAIL_NUMBER 14 /* slot + 1 */
#define IDS_PROGRESS_IMAGE_NUMBER 15     /* slot + 1 */
#define IDS_PROGRESS_RESETTING_COUNTER 16
/* Status text of library code n (0xFFFF0000 + n): string n + 100. */
#define IDS_STATUS_BASE 100

/* Control ids of the capture dialog, for its template and the code alike. */
#define IDC_PREVIEW_BUTTON 1000
#define IDC_FIRST_THUMBNAIL 1001 /* slot s is IDC_FIRST_THUMBNAIL + s */
#define IDC_LAST_THUMBNAIL 1024
#define IDC_CAPTURE 1051
#define IDC_PREVIEW 1052
#define IDC_GET_PICTURES 1053
#define IDC_CLEAR_CAMERA 1055
#define IDC_START_CONTINUOUS 1056
#define IDC_VERSION 1057
#define IDC_STOP_CONTINUOUS 1058
#define IDC_LARGE_CAPTURE 1059
#define IDC_STATUS_LINE 1060

/* The capture dialog's request for the previewed picture (lParam: HGLOBAL *). */
#define CDM_GETPICTURE (WM_USER + 42)

#endif
