// Resource ids of the recording-input dialog (sound_dialog.rc), shared by
// the template, its dialog procedure and the tests.
#pragma once

#define KELMO_IDD_SOUND_INPUT 24001
#define KELMO_IDC_DONE 24000
#define KELMO_IDC_CANCEL 24001
#define KELMO_IDC_MICROPHONE 24002
#define KELMO_IDC_LINE_IN 24003
#define KELMO_IDC_LEVEL 24004
