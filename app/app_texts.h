// The application's own texts, as the Windows-1251 bytes the window shows.
#pragma once

// Inline: one copy in the program, however many files spell a name.

// "Пример работы с HID устройством"
inline constexpr char Text_Title[] = "\xCF\xF0\xE8\xEC\xE5\xF0 \xF0\xE0\xE1\xEE\xF2\xFB \xF1 HID \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE\xEC";
// "Устройство не обнаруженно ( PID — " (an em dash, 0x97)
inline constexpr char Text_NotFoundStart[] =
    "\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xED\xE5 \xEE\xE1\xED\xE0\xF0\xF3\xE6\xE5\xED\xED\xEE ( PID \x97 ";
// "H;  VID — "
inline constexpr char Text_NotFoundMiddle[] = "H;  VID \x97 ";
// The start-up text and the one written after a disconnection end differently.
inline constexpr char Text_NotFoundEndStartup[] = "H )";
inline constexpr char Text_NotFoundEnd[] = "H) ";
// "Подключено HID устройство"
inline constexpr char Text_Connected[] = "\xCF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED\xEE HID \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE";
// "Зажечь светодиод"
inline constexpr char Text_LedOn[] = "\xC7\xE0\xE6\xE5\xF7\xFC \xF1\xE2\xE5\xF2\xEE\xE4\xE8\xEE\xE4";
// "Погасить светодиод"
inline constexpr char Text_LedOff[] = "\xCF\xEE\xE3\xE0\xF1\xE8\xF2\xFC \xF1\xE2\xE5\xF2\xEE\xE4\xE8\xEE\xE4";
// "Кнопка нажата?"
inline constexpr char Text_ButtonLabel[] = "\xCA\xED\xEE\xEF\xEA\xE0 \xED\xE0\xE6\xE0\xF2\xE0?";
// "Нет"
inline constexpr char Text_No[] = "\xCD\xE5\xF2";
// "Да"
inline constexpr char Text_Yes[] = "\xC4\xE0";
// "Нет связи с устройством!"
inline constexpr char Text_NoConnection[] = "\xCD\xE5\xF2 \xF1\xE2\xFF\xE7\xE8 \xF1 \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE\xEC!";
