; A window: the header's display settings give the first display its size
; (640x480) and colour; the applet title is its window title. The main
; chunk waits for events; a three-second timeout ends the run with End(0),
; and closing the window ends it earlier.
.applet title "Quillmere window"
.applet versionstring "$VER: Window 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:640 be16:480
.applet section 5 be32:0x336699
.line 1
GETGLOBAL 0, "settimeout"
LOADNIL 1, 1
CLOSURE 2 finish
LOADCONST 3, #3000
CALL 0, 4, 1
.line 2
loop:
GETGLOBAL 0, "waitevent"
CALL 0, 1, 1
JUMP loop
RETURN 0, 1, 0

; The timeout's handler.
.function finish
.line 3
GETGLOBAL 0, "end"
LOADNUM 1, 0, 0
CALL 0, 2, 1
RETURN 0, 1, 0
.end
