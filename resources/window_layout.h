// Layout building blocks of the dialog templates, in dialog units at the
// 8-point dialog font. A ten-band row is one macro expanded once per band
// column, so the columns of every row share one pitch and one left edge.
// Read by the resource compiler only.
#pragma once

// Every window: a small-caption popup with a close box, fixed size.
#define QX_WINDOW(id, width, height, caption) \
    id DIALOGEX 0, 0, width, height \
    STYLE DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU \
    EXSTYLE WS_EX_TOOLWINDOW \
    CAPTION caption \
    FONT 8, "MS Sans Serif"

// Spacing: margin to the dialog edge, first control below a group box's top
// edge, space left inside a group box at its sides and bottom.
#define QX_MARGIN 7
#define QX_BOX_TOP 11
#define QX_BOX_SIDE 6
#define QX_BOX_BOTTOM 6

// Control sizes.
#define QX_SLIDER_W 18
#define QX_VALUE_W 22
#define QX_VALUE_H 10
#define QX_METER_W 10
#define QX_CHECK_H 10

// Controls. Vertical sliders carry their ticks on the left unless said otherwise.
#define QX_VSLIDER(id, x, y, h) \
    CONTROL "", id, "msctls_trackbar32", TBS_VERT | TBS_LEFT | TBS_AUTOTICKS | WS_TABSTOP, x, y, QX_SLIDER_W, h
#define QX_VSLIDER_TICKS_RIGHT(id, x, y, h) \
    CONTROL "", id, "msctls_trackbar32", TBS_VERT | TBS_AUTOTICKS | WS_TABSTOP, x, y, QX_SLIDER_W, h
#define QX_HSLIDER(id, x, y, w) \
    CONTROL "", id, "msctls_trackbar32", TBS_HORZ | TBS_BOTTOM | TBS_AUTOTICKS | WS_TABSTOP, x, y, w, 18
// Value text of a slider or meter: a click on it focuses the slider.
#define QX_VALUE(id, x, y, w) CTEXT "", id, x, y, w, QX_VALUE_H, SS_SUNKEN | SS_NOTIFY
#define QX_METER(id, x, y, h) \
    CONTROL "", id, "msctls_progress32", PBS_SMOOTH | PBS_VERTICAL | WS_BORDER, x, y, QX_METER_W, h
#define QX_CHECK(text, id, x, y, w) AUTOCHECKBOX text, id, x, y, w, QX_CHECK_H, WS_TABSTOP

// Ten-band rows. Before a window's rows, define QX_BANDS_X (left edge of band
// column 1) and QX_SLIDER_H (height of every vertical slider of the window).
#define QX_PITCH 26
#define QX_BAND_ROW_W (10 * QX_PITCH + 2 * QX_BOX_SIDE)
#define QX_COL_X(n) (QX_BANDS_X + QX_PITCH * ((n) - 1))
#define QX_TEN(COLUMN, first, y) \
    COLUMN(1, first, y) COLUMN(2, first, y) COLUMN(3, first, y) COLUMN(4, first, y) COLUMN(5, first, y) \
    COLUMN(6, first, y) COLUMN(7, first, y) COLUMN(8, first, y) COLUMN(9, first, y) COLUMN(10, first, y)

// Heights of the row kinds, group box included.
#define QX_SLIDER_ROW_H (QX_BOX_TOP + QX_SLIDER_H + 2 + QX_VALUE_H + QX_BOX_BOTTOM)
#define QX_METER_ROW_H(h) (QX_BOX_TOP + (h) + QX_BOX_BOTTOM)
#define QX_CHECK_ROW_H (QX_BOX_TOP + QX_CHECK_H + 5)

// One band column: a slider with its value text under it, a meter, a check box.
#define QX_BAND_SLIDER(n, control, label, y) \
    QX_VSLIDER(control, QX_COL_X(n) + 4, y, QX_SLIDER_H) \
    QX_VALUE(label, QX_COL_X(n) + 2, (y) + QX_SLIDER_H + 2, QX_VALUE_W)
#define QX_BAND_METER(n, control, y, h) QX_METER(control, QX_COL_X(n) + 8, y, h)
#define QX_BAND_CHECK(n, control, y) QX_CHECK("", control, QX_COL_X(n) + 9, y, 10)

// Id schemes of the band columns: pairs (control first + 2(n-1), its label
// next to it), the shared column list, consecutive runs, the re-filter boxes.
#define QX_PAIR_SLIDER(n, first, y) QX_BAND_SLIDER(n, (first) + 2 * ((n) - 1), (first) + 2 * ((n) - 1) + 1, y)
#define QX_LISTED_SLIDER(n, unused, y) QX_BAND_SLIDER(n, QX_COLUMN_CONTROL(n), QX_COLUMN_LABEL(n), y)
#define QX_RUN_CHECK(n, first, y) QX_BAND_CHECK(n, (first) + (n) - 1, y)
#define QX_REFILTER_CHECK(n, unused, y) QX_BAND_CHECK(n, QX_REFILTER_BOX(n), y)
#define QX_RUN_METER(n, first, y) QX_BAND_METER(n, (first) + (n) - 1, y, QX_METER_H)

#define QX_COLUMN_CONTROL(n) QX_COLUMN_CONTROL_##n
#define QX_COLUMN_CONTROL_1 1001
#define QX_COLUMN_CONTROL_2 1002
#define QX_COLUMN_CONTROL_3 1006
#define QX_COLUMN_CONTROL_4 1008
#define QX_COLUMN_CONTROL_5 1010
#define QX_COLUMN_CONTROL_6 1012
#define QX_COLUMN_CONTROL_7 1014
#define QX_COLUMN_CONTROL_8 1016
#define QX_COLUMN_CONTROL_9 1018
#define QX_COLUMN_CONTROL_10 1020
#define QX_COLUMN_LABEL(n) QX_COLUMN_LABEL_##n
#define QX_COLUMN_LABEL_1 1004
#define QX_COLUMN_LABEL_2 1005
#define QX_COLUMN_LABEL_3 1007
#define QX_COLUMN_LABEL_4 1009
#define QX_COLUMN_LABEL_5 1011
#define QX_COLUMN_LABEL_6 1013
#define QX_COLUMN_LABEL_7 1015
#define QX_COLUMN_LABEL_8 1017
#define QX_COLUMN_LABEL_9 1019
#define QX_COLUMN_LABEL_10 1021
#define QX_REFILTER_BOX(n) QX_REFILTER_BOX_##n
#define QX_REFILTER_BOX_1 1076
#define QX_REFILTER_BOX_2 1078
#define QX_REFILTER_BOX_3 1079
#define QX_REFILTER_BOX_4 1080
#define QX_REFILTER_BOX_5 1081
#define QX_REFILTER_BOX_6 1082
#define QX_REFILTER_BOX_7 1084
#define QX_REFILTER_BOX_8 1135
#define QX_REFILTER_BOX_9 1136
#define QX_REFILTER_BOX_10 1137

// Whole rows: a group box across the window whose title states the row's
// meaning and range, and ten columns inside it.
#define QX_SLIDER_ROW(title, y, COLUMN, first) \
    GROUPBOX title, -1, QX_BANDS_X - QX_BOX_SIDE, y, QX_BAND_ROW_W, QX_SLIDER_ROW_H \
    QX_TEN(COLUMN, first, (y) + QX_BOX_TOP)
#define QX_METER_ROW(title, y, first) \
    GROUPBOX title, -1, QX_BANDS_X - QX_BOX_SIDE, y, QX_BAND_ROW_W, QX_METER_ROW_H(QX_METER_H) \
    QX_TEN(QX_RUN_METER, first, (y) + QX_BOX_TOP)
#define QX_CHECK_ROW(title, y, COLUMN, first) \
    GROUPBOX title, -1, QX_BANDS_X - QX_BOX_SIDE, y, QX_BAND_ROW_W, QX_CHECK_ROW_H \
    QX_TEN(COLUMN, first, (y) + QX_BOX_TOP)

// The band label statics 1901..1910, once above the first row, centred on the columns.
#define QX_BAND_LABEL(n, unused, y) CTEXT "", QX_IDC_BAND_LABEL_FIRST + (n) - 1, QX_COL_X(n) + 1, y, QX_PITCH - 2, 8
#define QX_BAND_LABELS(y) QX_TEN(QX_BAND_LABEL, 0, y)

// Cells of the windows with a few named sliders: a caption above (one or two
// lines, QX_CAPTION_H high), the slider, its value under it, centred in a
// column QX_CELL_W wide. Cells stand side by side inside a group box.
#define QX_CELL_H (QX_CAPTION_H + 2 + QX_SLIDER_H + 2 + QX_VALUE_H)
#define QX_CELL_BOX_W(cells) ((cells) * QX_CELL_W + 2 * QX_BOX_SIDE)
#define QX_CELL_BOX_H (QX_BOX_TOP + QX_CELL_H + QX_BOX_BOTTOM)
#define QX_CELL_X(box, k) ((box) + QX_BOX_SIDE + QX_CELL_W * (k))
#define QX_SLIDER_CELL(caption, control, label, x, y) \
    CTEXT caption, -1, x, y, QX_CELL_W, QX_CAPTION_H \
    QX_VSLIDER(control, (x) + (QX_CELL_W - QX_SLIDER_W) / 2, (y) + QX_CAPTION_H + 2, QX_SLIDER_H) \
    QX_VALUE(label, (x) + (QX_CELL_W - QX_VALUE_W) / 2, (y) + QX_CAPTION_H + 2 + QX_SLIDER_H + 2, QX_VALUE_W)
#define QX_METER_CELL(caption, control, label, x, y) \
    CTEXT caption, -1, x, y, QX_CELL_W, QX_CAPTION_H \
    QX_METER(control, (x) + (QX_CELL_W - QX_METER_W) / 2, (y) + QX_CAPTION_H + 2, QX_SLIDER_H) \
    QX_VALUE(label, (x) + (QX_CELL_W - QX_VALUE_W) / 2, (y) + QX_CAPTION_H + 2 + QX_SLIDER_H + 2, QX_VALUE_W)
