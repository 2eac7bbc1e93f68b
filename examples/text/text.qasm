; Text in a TrueType face and in the built-in bitmap font. The display
; opens at 320x200; a line in DejaVu Sans at 24 pixels and a line in the
; built-in 8-pixel font "topaz" are printed, and the run ends a second
; later.
;
; In script terms:
;   SetFont("DejaVu Sans", 24)
;   SetFontColor($FFFFFF)
;   TextOut(16, 40, "TrueType text")
;   SetFont("topaz", 8)
;   SetFontColor($FFD048)
;   TextOut(16, 120, "The built-in bitmap font")
;   Wait(1, #SECONDS)
.applet title "Quillmere text"
.applet versionstring "$VER: Text 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:200
.applet section 5 be32:0x203040
.line 1
GETGLOBAL 0, "setfont"
LOADCONST 1, "DejaVu Sans"
LOADNUM 2, 24
CALL 0, 3, 1
GETGLOBAL 0, "setfontcolor"
LOADCONST 1, #16777215  ; $FFFFFF
CALL 0, 2, 1
.line 2
GETGLOBAL 0, "textout"
LOADNUM 1, 16
LOADNUM 2, 40
LOADCONST 3, "TrueType text"
CALL 0, 4, 1
.line 3
GETGLOBAL 0, "setfont"
LOADCONST 1, "topaz"
LOADNUM 2, 8
CALL 0, 3, 1
GETGLOBAL 0, "setfontcolor"
LOADCONST 1, #16765000  ; $FFD048
CALL 0, 2, 1
.line 4
GETGLOBAL 0, "textout"
LOADNUM 1, 16
LOADNUM 2, 120
LOADCONST 3, "The built-in bitmap font"
CALL 0, 4, 1
.line 5
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
