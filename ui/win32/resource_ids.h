#pragma once

// Resources of the driver program, shared by the resource script and the code.
#define IDI_DRIVER_ICON 1
#define IDR_APP_BUTTON_PNG 101
#define IDR_PAGE_STATE_PNG 102
#define IDR_PAGE_SETUP_PNG 103
#define IDR_DRIVER_ICON_16_PNG 104
#define IDR_DRIVER_ICON_32_PNG 105
#define IDR_DRIVER_ICON_48_PNG 106
