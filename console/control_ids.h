#pragma once
// Dialog template and control ids shared by the resource script and the code.
// Plain macros: the resource compiler reads this file too.

// Dialog templates (one per window group).
#define QX_DLG_CONSOLE 101
#define QX_DLG_10BAND_EQ 103
#define QX_DLG_TEST_TONES 104
#define QX_DLG_OSCILLOSCOPE 105
#define QX_DLG_SPECTRUM 106
#define QX_DLG_FREQ_RESPONSE 107
#define QX_DLG_3BAND_EQ 108
#define QX_DLG_AGC 109
#define QX_DLG_COMPRESSOR 110
#define QX_DLG_PROCESSOR 111
#define QX_DLG_EXPANDER 112
#define QX_DLG_LIMITER 113
#define QX_DLG_LOWPASS 114
#define QX_DLG_FINAL_LIMITER 115
#define QX_DLG_FINAL_CLIPPER 116
#define QX_DLG_HIGHPASS 117
#define QX_DLG_STEREO 118
#define QX_DLG_DOCUMENTATION 119
#define QX_DLG_SATURATOR 120
#define QX_DLG_ADVANCED 121
#define QX_DLG_DYNAMIC_EQ 122
#define QX_DLG_PARAMETRIC_EQ 123

// Console: preset column.
#define QX_IDC_PRESET_LIST 1005
#define QX_IDC_DEFAULT_LABEL 1042
#define QX_IDC_LOAD 1003
#define QX_IDC_SAVE 1004
#define QX_IDC_DELETE 1008
#define QX_IDC_DEFAULT 1010
#define QX_IDC_PRESET_NAME 1009

// Console: status, master controls, meters, tools.
#define QX_IDC_STATUS 1023
#define QX_IDC_BYPASS_ALL 1001
#define QX_IDC_ADVANCED 1048
#define QX_IDC_DENSITY_SLIDER 1050
#define QX_IDC_DENSITY_LABEL 1049
#define QX_IDC_POSTAMP_SLIDER 1043
#define QX_IDC_POSTAMP_LABEL 1044
#define QX_IDC_DITHER 1014
#define QX_IDC_IN_METER 1006
#define QX_IDC_IN_LABEL 1030
#define QX_IDC_OUT_METER 1007
#define QX_IDC_OUT_LABEL 1031
#define QX_IDC_CLIP_TEXT 1047
#define QX_IDC_TEST_TONES 1011
#define QX_IDC_SPECTRUM 1012
#define QX_IDC_OSCILLOSCOPE 1013
#define QX_IDC_FREQ_RESPONSE 1015
#define QX_IDC_WEBSITE 1051
#define QX_IDC_HELP 1037

// Console: stage rows, the Active box and the "Open..." button of each.
#define QX_IDC_HIGHPASS_ACTIVE 1038
#define QX_IDC_HIGHPASS_OPEN 1039
#define QX_IDC_STEREO_ACTIVE 1040
#define QX_IDC_STEREO_OPEN 1041
#define QX_IDC_AGC_ACTIVE 1020
#define QX_IDC_AGC_OPEN 1021
#define QX_IDC_3BAND_ACTIVE 1018
#define QX_IDC_3BAND_OPEN 1019
#define QX_IDC_PEQ_ACTIVE 1055
#define QX_IDC_PEQ_OPEN 1056
#define QX_IDC_PROCESSOR_ACTIVE 1022
#define QX_IDC_PROCESSOR_OPEN 1024
#define QX_IDC_DYNEQ_ACTIVE 1052
#define QX_IDC_DYNEQ_OPEN 1053
#define QX_IDC_COMPRESSOR_ACTIVE 1016
#define QX_IDC_COMPRESSOR_OPEN 1017
#define QX_IDC_EXPANDER_ACTIVE 1025
#define QX_IDC_EXPANDER_OPEN 1026
#define QX_IDC_LIMITER_ACTIVE 1027
#define QX_IDC_LIMITER_OPEN 1028
#define QX_IDC_SATURATOR_ACTIVE 1045
#define QX_IDC_SATURATOR_OPEN 1046
#define QX_IDC_10BAND_ACTIVE 1000
#define QX_IDC_10BAND_OPEN 1002
#define QX_IDC_FINAL_LIMITER_ACTIVE 1033
#define QX_IDC_FINAL_LIMITER_OPEN 1034
#define QX_IDC_FINAL_CLIPPER_ACTIVE 1035
#define QX_IDC_FINAL_CLIPPER_OPEN 1036
#define QX_IDC_LOWPASS_ACTIVE 1029
#define QX_IDC_LOWPASS_OPEN 1032

// Band label statics above the band columns of the per-band windows.
#define QX_IDC_BAND_LABEL_FIRST 1901

// Documentation window: the text, the find field and its button.
#define QX_IDC_DOC_TEXT 1071
#define QX_IDC_DOC_FIND 1072
#define QX_IDC_DOC_GO 1073

// Advanced window: the filterbank layout slider acts at once.
#define QX_IDC_FILTERBANK_SLIDER 1061

// Resource types and ids beside the dialogs.
#define QX_FACTORY_PRESET_FIRST 106
#define QX_MANUAL_TEXT 110
