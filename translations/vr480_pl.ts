<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
  <context>
    <name>Upgrader</name>
    <message>
      <source>Wrong file header</source>
      <translation>Nieprawidłowy nagłówek pliku</translation>
    </message>
    <message>
      <source>Wrong file version</source>
      <translation>Nieprawidłowa wersja pliku</translation>
    </message>
    <message>
      <source>Wrong file length</source>
      <translation>Nieprawidłowa długość pliku</translation>
    </message>
    <message>
      <source>USB Timeout
Check USB Cable</source>
      <translation>Przekroczony czas USB
Sprawdź kabel USB</translation>
    </message>
    <message>
      <source>VR480 found (%1), but it could not be opened: no permission</source>
      <translation>Znaleziono VR480 (%1), ale nie można go otworzyć: brak uprawnień</translation>
    </message>
    <message>
      <source>VR480 found (%1), but it could not be opened: not bound to WinUSB, or in use</source>
      <translation>Znaleziono VR480 (%1), ale nie można go otworzyć: nie jest przypisany do sterownika WinUSB lub jest używany</translation>
    </message>
    <message>
      <source>VR480 found (%1), but it cannot be opened yet: waiting up to %2 s for its driver or its permissions</source>
      <translation>Znaleziono VR480 (%1), ale nie można go jeszcze otworzyć: oczekiwanie do %2 s na jego sterownik lub uprawnienia</translation>
    </message>
    <message>
      <source>Bootloader Version Read Error</source>
      <translation>Błąd odczytu wersji programu rozruchowego</translation>
    </message>
    <message>
      <source>Apllication mode</source>
      <translation>Tryb aplikacji</translation>
    </message>
    <message>
      <source>Reset device</source>
      <translation>Restart urządzenia</translation>
    </message>
    <message>
      <source>USB timout
Check USB cable</source>
      <translation>Przekroczony czas USB
Sprawdź kabel USB</translation>
    </message>
    <message>
      <source>Disconnect</source>
      <translation>Rozłączanie</translation>
    </message>
    <message>
      <source>Connect</source>
      <translation>Łączenie</translation>
    </message>
    <message>
      <source>Serial:</source>
      <translation>Numer seryjny:</translation>
    </message>
    <message>
      <source>Bootloader mode</source>
      <translation>Tryb programu rozruchowego</translation>
    </message>
    <message>
      <source>Writting firmware ... </source>
      <translation>Zapis oprogramowania ... </translation>
    </message>
    <message>
      <source>OK</source>
      <translation>OK</translation>
    </message>
    <message>
      <source>ERROR</source>
      <translation>BŁĄD</translation>
    </message>
    <message>
      <source>Writting External Flash ... </source>
      <translation>Zapis pamięci zewnętrznej ... </translation>
    </message>
    <message>
      <source>Error</source>
      <translation>Błąd</translation>
    </message>
    <message>
      <source>Verify External Flash ...  </source>
      <translation>Weryfikacja pamięci zewnętrznej ...  </translation>
    </message>
    <message>
      <source>read_buffer</source>
      <translation>read_buffer</translation>
    </message>
    <message>
      <source>ext_datas.data()</source>
      <translation>ext_datas.data()</translation>
    </message>
    <message>
      <source>Wrong file checksum</source>
      <translation>Nieprawidłowa suma kontrolna pliku</translation>
    </message>
    <message>
      <source>Application not started</source>
      <translation>Aplikacja nie uruchomiła się</translation>
    </message>
  </context>
  <context>
    <name>VR480_Bootloader</name>
    <message>
      <source>Open File</source>
      <translation>Otwórz plik</translation>
    </message>
    <message>
      <source>Upg (*.upg)</source>
      <translation>Pliki aktualizacji (*.upg)</translation>
    </message>
    <message>
      <source>Error</source>
      <translation>Błąd</translation>
    </message>
    <message>
      <source>Hex (*.hex)</source>
      <translation>Pliki Hex (*.hex)</translation>
    </message>
    <message>
      <source>HexToBin error: %1)</source>
      <translation>Błąd HexToBin: %1)</translation>
    </message>
    <message>
      <source>Save File</source>
      <translation>Zapisz plik</translation>
    </message>
    <message>
      <source>Cannot write the file %1</source>
      <translation>Nie można zapisać pliku %1</translation>
    </message>
    <message>
      <source>No application data in %1</source>
      <translation>Brak danych aplikacji w %1</translation>
    </message>
    <message>
      <source>No bootloader data in %1</source>
      <translation>Brak danych programu rozruchowego w %1</translation>
    </message>
    <message>
      <source>Production year</source>
      <translation>Rok produkcji</translation>
    </message>
    <message>
      <source>Year(YY)</source>
      <translation>Rok(RR)</translation>
    </message>
    <message>
      <source>Production week</source>
      <translation>Tydzień produkcji</translation>
    </message>
    <message>
      <source>Week(WW)</source>
      <translation>Tydzień(TT)</translation>
    </message>
    <message>
      <source>Production number</source>
      <translation>Numer produkcyjny</translation>
    </message>
    <message>
      <source>Number(NNNN)</source>
      <translation>Numer(NNNN)</translation>
    </message>
    <message>
      <source>Iteration</source>
      <translation>Iteracja</translation>
    </message>
    <message>
      <source>Count:</source>
      <translation>Liczba:</translation>
    </message>
    <message>
      <source>Length (dec)</source>
      <translation>Długość (dziesiętnie)</translation>
    </message>
    <message>
      <source>error</source>
      <translation>błąd</translation>
    </message>
    <message>
      <source>Conversion error</source>
      <translation>Błąd konwersji</translation>
    </message>
    <message>
      <source>Read error</source>
      <translation>Błąd odczytu</translation>
    </message>
    <message>
      <source>Read From Vr480</source>
      <translation>Odczyt z Vr480</translation>
    </message>
    <message>
      <source>Address (hex)</source>
      <translation>Adres (szesnastkowo)</translation>
    </message>
    <message>
      <source>Fill pattern</source>
      <translation>Wzór wypełnienia</translation>
    </message>
    <message>
      <source>Number (dec)</source>
      <translation>Liczba (dziesiętnie)</translation>
    </message>
    <message>
      <source>Bin (*.bin)</source>
      <translation>Pliki binarne (*.bin)</translation>
    </message>
    <message>
      <source>Info</source>
      <translation>Informacja</translation>
    </message>
    <message>
      <source>Write OK</source>
      <translation>Zapis poprawny</translation>
    </message>
    <message>
      <source>Length error</source>
      <translation>Błąd długości</translation>
    </message>
    <message>
      <source>Length should be aligned to 4</source>
      <translation>Długość powinna być wielokrotnością 4</translation>
    </message>
    <message>
      <source>The file is larger than the external flash (%1 bytes)</source>
      <translation>Plik jest większy niż pamięć zewnętrzna flash (%1 B)</translation>
    </message>
    <message>
      <source>WriteExternalFlashToAddress</source>
      <translation>WriteExternalFlashToAddress</translation>
    </message>
    <message>
      <source>ReadExternalFlashFromAddress</source>
      <translation>ReadExternalFlashFromAddress</translation>
    </message>
    <message>
      <source>memcmp</source>
      <translation>memcmp</translation>
    </message>
    <message>
      <source>Write To External Flash Vr480</source>
      <translation>Zapis do pamięci zewnętrznej Vr480</translation>
    </message>
    <message>
      <source>Data(hex)</source>
      <translation>Dane (szesnastkowo)</translation>
    </message>
    <message>
      <source>Write error</source>
      <translation>Błąd zapisu</translation>
    </message>
    <message>
      <source>Read External Flash From Vr480</source>
      <translation>Odczyt pamięci zewnętrznej z Vr480</translation>
    </message>
  </context>
  <context>
    <name>VR480_BootloaderClass</name>
    <message>
      <source>VR480_Bootloader</source>
      <translation>VR480 – program rozruchowy</translation>
    </message>
    <message>
      <source>Open</source>
      <translation>Otwórz</translation>
    </message>
    <message>
      <source>Close</source>
      <translation>Zamknij</translation>
    </message>
    <message>
      <source>Connect</source>
      <translation>Połącz</translation>
    </message>
    <message>
      <source>Disconnect</source>
      <translation>Rozłącz</translation>
    </message>
    <message>
      <source>Read</source>
      <translation>Odczyt</translation>
    </message>
    <message>
      <source>Write</source>
      <translation>Zapis</translation>
    </message>
    <message>
      <source>WritePage</source>
      <translation>Zapis strony</translation>
    </message>
    <message>
      <source>Change Firmware</source>
      <translation>Zmień oprogramowanie</translation>
    </message>
    <message>
      <source>RunApplication</source>
      <translation>Uruchom aplikację</translation>
    </message>
    <message>
      <source>WriteExternalFlash</source>
      <translation>Zapis pamięci zewnętrznej</translation>
    </message>
    <message>
      <source>ReadExternalFlash</source>
      <translation>Odczyt pamięci zewnętrznej</translation>
    </message>
    <message>
      <source>WriteExtFlashBin</source>
      <translation>Zapis pliku do pamięci zewnętrznej</translation>
    </message>
    <message>
      <source>CreateUpg</source>
      <translation>Utwórz plik aktualizacji</translation>
    </message>
    <message>
      <source>CreateBootBin</source>
      <translation>Utwórz obrazy programu rozruchowego</translation>
    </message>
    <message>
      <source>Flash %p%</source>
      <translation>Pamięć Flash %p%</translation>
    </message>
    <message>
      <source>External Flash Write %p%</source>
      <translation>Zapis pamięci zewnętrznej %p%</translation>
    </message>
    <message>
      <source>External Flash Verify %p%</source>
      <translation>Weryfikacja pamięci zewnętrznej %p%</translation>
    </message>
    <message>
      <source>File</source>
      <translation>Plik</translation>
    </message>
  </context>
</TS>
