// Test-only program that is never run: a crashed executable with an icon of
// its own (own_icon_probe.rc), a plain orange square that neither of the
// handler's icons resembles, so a window showing it shows this file's icon.
// The icon is one 48-pixel image of the colour 0xE07010, packed with
// ui/icons/pack_ico.py.
int main() { return 0; }
