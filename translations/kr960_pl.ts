<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
<context>
    <name>KR960_BootloaderClass</name>
    <message>
        <source>KR960_Bootloader</source>
        <translation>KR960_Bootloader</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Otwórz</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Zakończ</translation>
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
        <translation>Plik .bin do pamięci zewnętrznej</translation>
    </message>
    <message>
        <source>CreateUpg</source>
        <translation>Utwórz plik aktualizacji</translation>
    </message>
    <message>
        <source>CreateBootBin</source>
        <translation>Utwórz obrazy bootloadera</translation>
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
<context>
    <name>KR960_Bootloader</name>
    <message>
        <source>Open File</source>
        <translation>Otwórz plik</translation>
    </message>
    <message>
        <source>Save File</source>
        <translation>Zapisz plik</translation>
    </message>
    <message>
        <source>Upg (*.upg)</source>
        <translation>Pliki aktualizacji (*.upg)</translation>
    </message>
    <message>
        <source>Hex (*.hex)</source>
        <translation>Pliki Intel HEX (*.hex)</translation>
    </message>
    <message>
        <source>Bin (*.bin)</source>
        <translation>Pliki binarne (*.bin)</translation>
    </message>
    <message>
        <source>shorter than a record (11 characters), or blank</source>
        <translation>krótsza niż rekord (11 znaków) albo pusta</translation>
    </message>
    <message>
        <source>does not begin with &apos;:&apos;</source>
        <translation>nie zaczyna się od &apos;:&apos;</translation>
    </message>
    <message>
        <source>the byte count is not hexadecimal</source>
        <translation>liczba bajtów nie jest szesnastkowa</translation>
    </message>
    <message>
        <source>the record address is not hexadecimal</source>
        <translation>adres rekordu nie jest szesnastkowy</translation>
    </message>
    <message>
        <source>the record type is not hexadecimal</source>
        <translation>typ rekordu nie jest szesnastkowy</translation>
    </message>
    <message>
        <source>a data byte is not hexadecimal, or the data runs past the line end</source>
        <translation>bajt danych nie jest szesnastkowy albo dane wychodzą poza koniec linii</translation>
    </message>
    <message>
        <source>a record type other than 00, 01, 04 and 05, or a bad extended address</source>
        <translation>typ rekordu inny niż 00, 01, 04 i 05 albo błędny adres rozszerzony</translation>
    </message>
    <message>
        <source>line %1: %2 data bytes, at most %3 per record (objcopy and srec_cat write 16 by default)</source>
        <translation>linia %1: %2 bajtów danych, najwyżej %3 na rekord (objcopy i srec_cat domyślnie zapisują 16)</translation>
    </message>
    <message>
        <source>line %1: %2</source>
        <translation>linia %1: %2</translation>
    </message>
    <message>
        <source>line %1: the record ends before its checksum</source>
        <translation>linia %1: rekord kończy się przed sumą kontrolną</translation>
    </message>
    <message>
        <source>line %1: record checksum %2, the record sums to %3</source>
        <translation>linia %1: suma kontrolna rekordu %2, rekord daje sumę %3</translation>
    </message>
    <message>
        <source>no end-of-file record</source>
        <translation>brak rekordu końca pliku</translation>
    </message>
    <message>
        <source>Warning: the HEX data at %1..%2 is replaced by the %3</source>
        <translation>Uwaga: dane HEX pod adresami %1..%2 zastępuje %3</translation>
    </message>
    <message>
        <source>application checksum</source>
        <translation>suma kontrolna aplikacji</translation>
    </message>
    <message>
        <source>upper checksum</source>
        <translation>suma kontrolna obszaru górnego</translation>
    </message>
    <message>
        <source>HexToBin error: %1)</source>
        <translation>Błąd HexToBin: %1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Błąd</translation>
    </message>
    <message>
        <source>Cannot write %1</source>
        <translation>Nie można zapisać pliku %1</translation>
    </message>
    <message>
        <source>No data for the application area 0x08004000..0x0803FFFF</source>
        <translation>Brak danych dla obszaru aplikacji 0x08004000..0x0803FFFF</translation>
    </message>
    <message>
        <source>Production year</source>
        <translation>Rok produkcji</translation>
    </message>
    <message>
        <source>Year(YY)</source>
        <translation>Rok (RR)</translation>
    </message>
    <message>
        <source>Production week</source>
        <translation>Tydzień produkcji</translation>
    </message>
    <message>
        <source>Week(WW)</source>
        <translation>Tydzień (TT)</translation>
    </message>
    <message>
        <source>Production number</source>
        <translation>Numer produkcyjny</translation>
    </message>
    <message>
        <source>Number(NNNN)</source>
        <translation>Numer (NNNN)</translation>
    </message>
    <message>
        <source>Iteration</source>
        <translation>Liczba sztuk</translation>
    </message>
    <message>
        <source>Count:</source>
        <translation>Liczba:</translation>
    </message>
    <message>
        <source>Read From Kr960</source>
        <translation>Odczyt z Kr960</translation>
    </message>
    <message>
        <source>Address (hex)</source>
        <translation>Adres (hex)</translation>
    </message>
    <message>
        <source>Length (dec)</source>
        <translation>Długość (dec)</translation>
    </message>
    <message>
        <source>Fill pattern</source>
        <translation>Wzorzec wypełnienia</translation>
    </message>
    <message>
        <source>Number (dec)</source>
        <translation>Liczba (dec)</translation>
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
        <source>Length error</source>
        <translation>Błąd długości</translation>
    </message>
    <message>
        <source>Length should be aligned to 4</source>
        <translation>Długość musi być wielokrotnością 4</translation>
    </message>
    <message>
        <source>The file is larger than the external flash (16 MiB)</source>
        <translation>Plik jest większy niż pamięć zewnętrzna (16 MiB)</translation>
    </message>
    <message>
        <source>WriteExternalFlashToAddress</source>
        <translation>Zapis pamięci zewnętrznej nie powiódł się (WriteExternalFlashToAddress)</translation>
    </message>
    <message>
        <source>ReadExternalFlashFromAddress</source>
        <translation>Odczyt pamięci zewnętrznej nie powiódł się (ReadExternalFlashFromAddress)</translation>
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
        <source>memcmp</source>
        <translation>Odczytane dane różnią się od zapisanych (memcmp)</translation>
    </message>
    <message>
        <source>Write To External Flash Kr960</source>
        <translation>Zapis do pamięci zewnętrznej Kr960</translation>
    </message>
    <message>
        <source>Data(hex)</source>
        <translation>Dane (hex)</translation>
    </message>
    <message>
        <source>Read External Flash From Kr960</source>
        <translation>Odczyt pamięci zewnętrznej Kr960</translation>
    </message>
</context>
<context>
    <name>Upgrader</name>
    <message>
        <source>Wrong file header</source>
        <translation>Błędny nagłówek pliku</translation>
    </message>
    <message>
        <source>Wrong file version</source>
        <translation>Błędna wersja pliku</translation>
    </message>
    <message>
        <source>Wrong file size</source>
        <translation>Błędny rozmiar pliku</translation>
    </message>
    <message>
        <source>Wrong file checksum</source>
        <translation>Błędna suma kontrolna pliku</translation>
    </message>
    <message>
        <source>Upgrade stopped</source>
        <translation>Aktualizacja przerwana</translation>
    </message>
    <message>
        <source>USB Timeout
Check USB Cable</source>
        <translation>Przekroczony czas oczekiwania USB
Sprawdź kabel USB</translation>
    </message>
    <message>
        <source>Bootloader Version Read Error</source>
        <translation>Błąd odczytu wersji bootloadera</translation>
    </message>
    <message>
        <source>Bootloader mode</source>
        <translation>Tryb bootloadera</translation>
    </message>
    <message>
        <source>Serial:</source>
        <translation>Numer seryjny:</translation>
    </message>
    <message>
        <source>Apllication mode</source>
        <translation>Tryb aplikacji</translation>
    </message>
    <message>
        <source>Reset device</source>
        <translation>Ponowne uruchomienie urządzenia</translation>
    </message>
    <message>
        <source>USB timout
Check USB cable</source>
        <translation>Przekroczony czas oczekiwania USB
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
        <source>Writting firmware ... </source>
        <translation>Zapisywanie oprogramowania ... </translation>
    </message>
    <message>
        <source>ERROR</source>
        <translation>BŁĄD</translation>
    </message>
    <message>
        <source>Read back ERROR</source>
        <translation>BŁĄD odczytu</translation>
    </message>
    <message>
        <source>Verify ERROR</source>
        <translation>BŁĄD weryfikacji</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Pages written: %1, already current: %2</source>
        <translation>Zapisane strony: %1, już aktualne: %2</translation>
    </message>
</context>
<context>
    <name>BoardTile</name>
    <message>
        <source>%v of %m pages</source>
        <translation>%v z %m stron</translation>
    </message>
    <message>
        <source>ready</source>
        <translation>gotowa</translation>
    </message>
    <message>
        <source>restarting</source>
        <translation>restartowanie</translation>
    </message>
    <message>
        <source>programming</source>
        <translation>programowanie</translation>
    </message>
    <message>
        <source>port unknown</source>
        <translation>port nieznany</translation>
    </message>
    <message>
        <source>port %1</source>
        <translation>port %1</translation>
    </message>
    <message>
        <source>serial unknown</source>
        <translation>numer seryjny nieznany</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
</context>
<context>
    <name>Station</name>
    <message>
        <source>not recorded: %1</source>
        <translation>nie zapisano: %1</translation>
    </message>
    <message>
        <source>serial %1 is also on %2: not counted</source>
        <translation>numer seryjny %1 jest też na %2: nie liczony</translation>
    </message>
    <message>
        <source>passed</source>
        <translation>zaliczona</translation>
    </message>
    <message>
        <source>the board left the bus at page %1</source>
        <translation>płytka odłączyła się od magistrali na stronie %1</translation>
    </message>
    <message>
        <source>a page could not be written</source>
        <translation>nie udało się zapisać strony</translation>
    </message>
    <message>
        <source>a page read back wrong</source>
        <translation>strona odczytana błędnie</translation>
    </message>
    <message>
        <source>the board did not answer: %1</source>
        <translation>płytka nie odpowiada: %1</translation>
    </message>
    <message>
        <source>stopped before the end</source>
        <translation>zatrzymano przed końcem</translation>
    </message>
    <message>
        <source>cannot be opened: %1</source>
        <translation>nie można otworzyć: %1</translation>
    </message>
    <message>
        <source>its programming process ended unexpectedly: %1</source>
        <translation>proces programowania zakończył się nieoczekiwanie: %1</translation>
    </message>
    <message>
        <source>give each board its own serial</source>
        <translation>nadaj każdej płytce własny numer seryjny</translation>
    </message>
    <message>
        <source>mend the log or database, then unplug and plug in again</source>
        <translation>napraw dziennik lub bazę danych, potem odłącz i podłącz ponownie</translation>
    </message>
    <message>
        <source>check the cable and the udev rule, then plug in again</source>
        <translation>sprawdź kabel i regułę udev, potem podłącz ponownie</translation>
    </message>
    <message>
        <source>plug it in again to retry</source>
        <translation>podłącz ją ponownie, aby ponowić</translation>
    </message>
    <message>
        <source>unplug and plug in again to retry</source>
        <translation>odłącz i podłącz ponownie, aby ponowić</translation>
    </message>
    <message>
        <source>cannot open %1: %2</source>
        <translation>nie można otworzyć %1: %2</translation>
    </message>
</context>
<context>
    <name>StationWindow</name>
    <message>
        <source>mv604-worker was not found: install it next to mv604-station or name it in MV604_WORKER</source>
        <translation>nie znaleziono mv604-worker: zainstaluj go obok mv604-station lub wskaż w MV604_WORKER</translation>
    </message>
    <message>
        <source>Press Start to program each KR960 plugged in</source>
        <translation>Naciśnij Start, aby programować każdy podłączony KR960</translation>
    </message>
    <message>
        <source>Choose the upgrade file and press Start</source>
        <translation>Wybierz plik aktualizacji i naciśnij Start</translation>
    </message>
    <message>
        <source>Mv604 Station</source>
        <translation>Stanowisko Mv604</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Zatrzymaj</translation>
    </message>
    <message>
        <source>No new boards; the runs in progress go on to their end</source>
        <translation>Bez nowych płytek; trwające programowania dobiegną końca</translation>
    </message>
    <message>
        <source>%1 passed</source>
        <translation>%1 zaliczonych</translation>
    </message>
    <message>
        <source>%1 failed</source>
        <translation>%1 nieudanych</translation>
    </message>
    <message>
        <source>first-pass yield %1 %</source>
        <translation>uzysk za pierwszym razem %1 %</translation>
    </message>
    <message>
        <source>The upgrade file chosen last time can no longer be used, and is forgotten: %1</source>
        <translation>Plik aktualizacji wybrany ostatnio nie nadaje się już do użycia i został zapomniany: %1</translation>
    </message>
    <message>
        <source>The new file is programmed from the next board on</source>
        <translation>Nowy plik jest programowany od następnej płytki</translation>
    </message>
    <message>
        <source>%1 changed on disk: the station keeps programming the copy it checked; press Reload to check and program the new one</source>
        <translation>%1 zmienił się na dysku: stanowisko nadal programuje sprawdzoną kopię; naciśnij Wczytaj ponownie, aby sprawdzić i programować nowy</translation>
    </message>
    <message>
        <source>Choose a usable upgrade file first</source>
        <translation>Najpierw wybierz poprawny plik aktualizacji</translation>
    </message>
    <message>
        <source>Programming each KR960 plugged in</source>
        <translation>Programowanie każdego podłączonego KR960</translation>
    </message>
    <message>
        <source>Closing: the runs in progress end at their next page and are recorded</source>
        <translation>Zamykanie: trwające programowania kończą się na następnej stronie i są zapisywane</translation>
    </message>
    <message>
        <source>Stopping: no new boards, the runs in progress go on to their end</source>
        <translation>Zatrzymywanie: bez nowych płytek, trwające programowania dobiegną końca</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Zatrzymano</translation>
    </message>
    <message>
        <source>first-pass yield -</source>
        <translation>uzysk za pierwszym razem -</translation>
    </message>
</context>
<context>
    <name>UpgradeFilePanel</name>
    <message>
        <source>SHA-256 %1   application checksum %2   upper checksum %3</source>
        <translation>SHA-256 %1   suma kontrolna aplikacji %2   górna suma kontrolna %3</translation>
    </message>
    <message>
        <source>No upgrade file chosen</source>
        <translation>Nie wybrano pliku aktualizacji</translation>
    </message>
    <message>
        <source>Choose File...</source>
        <translation>Wybierz plik...</translation>
    </message>
    <message>
        <source>Reload</source>
        <translation>Wczytaj ponownie</translation>
    </message>
    <message>
        <source>Check the file on disk again and program it from now on</source>
        <translation>Sprawdź ponownie plik na dysku i programuj go od teraz</translation>
    </message>
    <message>
        <source>Choose the upgrade file</source>
        <translation>Wybierz plik aktualizacji</translation>
    </message>
    <message>
        <source>Upgrade files (*.upg);;All files (*)</source>
        <translation>Pliki aktualizacji (*.upg);;Wszystkie pliki (*)</translation>
    </message>
</context>
</TS>
