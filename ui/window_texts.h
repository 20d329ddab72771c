#pragma once

// The texts of the driver's windows, the same in every front end; UTF-8, as every text of the
// driver. The port controls' captions belong to their logic (app/port_controls.h).
namespace drv {

// Main window: its title (also the taskbar's and the notification-area icon's hint), the banner.
inline constexpr char kMainWindowTitle[] = "Драйвер Тирвал 2007";
inline constexpr char kDefaultBannerCaption[] = "КПО Торвен 2008 - Драйвер Тирвал 2007";
// The page buttons' groups.
inline constexpr char kStatePageCaption[] = "Состояние";
inline constexpr char kSettingsPageCaption[] = "Настройки";
// The state page.
inline constexpr char kStationLinkCaption[] = "Контроль связи со станцией";
inline constexpr char kServerLinkCaption[] = "Связь с сервером сообщений";
inline constexpr char kStartTimeCaption[] = "Дата и время запуска";
inline constexpr char kCloseCodeCaption[] = "Пароль для закрытия";
// The settings page.
inline constexpr char kPortGroupCaption[] = "Com порт";
inline constexpr char kScanCaption[] = "Сканировать заново";
inline constexpr char kFrameDisplayCaption[] = "Включить отображение входящих сообщений";
// The notification-area icon's menu.
inline constexpr char kRestoreItem[] = "Восстановить";
inline constexpr char kCloseItem[] = "Закрыть";

// Close-code dialog.
inline constexpr char kCloseCodeDialogTitle[] = "Закрытый доступ";
inline constexpr char kCloseCodePrompt[] = "Введите пароль для доступа";
inline constexpr char kOkCaption[] = "ОК";
inline constexpr char kCancelCaption[] = "Отмена";

// Message box.
inline constexpr char kMessageBoxTitle[] = "advsm";

}  // namespace drv
