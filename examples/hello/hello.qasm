; A greeting: prints one line on the console and ends by running off the
; end of its main chunk (exit status 0).
.applet title "Hello"
.applet versionstring "$VER: Hello 1.0"
.applet authors "The Quillmere developers"
.line 1
GETGLOBAL 0, "consoleprint"
LOADCONST 1, "Hello from Quillmere!"
CALL 0, 2, 1
RETURN 0, 1, 0
