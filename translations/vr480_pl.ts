<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
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
