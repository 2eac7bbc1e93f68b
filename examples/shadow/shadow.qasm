; Written from the command reference alone (docs/reference.md): shadowed
; TrueType text and a scaled brush. The display opens at 320x200 on a dark
; blue; a line in the built-in Vera Sans at 32 pixels, yellow with a grey
; shadow to the south-east, is centred near the top, and a 40x20 brush is
; scaled to 160 pixels wide (its height kept in proportion, so 80) and
; centred below it. The run ends a second later.
;
; In script terms:
;   SetFont(#SANS, 32)
;   SetFontStyle(#SHADOW, $404040, 4, #SHDWSOUTHEAST)
;   SetFontColor($FFD048)
;   TextOut(#CENTER, 40, "Shadowed text")
;   CreateBrush(1, 40, 20, $3070E0)
;   ScaleBrush(1, 160, #KEEPASPRAT)
;   DisplayBrush(1, #CENTER, 110)
;   Wait(1, #SECONDS)
.applet title "Quillmere shadow"
.applet versionstring "$VER: Shadow 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:200   ; the first display's size
.applet section 5 be32:0x102040       ; and its colour
.line 1
GETGLOBAL 0, "setfont"
LOADCONST 1, #SANS
LOADNUM 2, 32
CALL 0, 3, 1                          ; 2 arguments, no results
.line 2
GETGLOBAL 0, "setfontstyle"
LOADNUM 1, #SHADOW
LOADCONST 2, #0x404040                ; the shadow's colour
LOADNUM 3, 4                          ; its size in pixels
LOADNUM 4, #SHDWSOUTHEAST             ; its direction
CALL 0, 5, 1
.line 3
GETGLOBAL 0, "setfontcolor"
LOADCONST 1, #0xFFD048
CALL 0, 2, 1
.line 4
GETGLOBAL 0, "textout"
LOADCONST 1, #CENTER                  ; special positions are negative: LOADCONST
LOADNUM 2, 40
LOADCONST 3, "Shadowed text"
CALL 0, 4, 1
.line 5
GETGLOBAL 0, "createbrush"
LOADNUM 1, 1
LOADNUM 2, 40
LOADNUM 3, 20
LOADCONST 4, #0x3070E0
CALL 0, 5, 1
.line 6
GETGLOBAL 0, "scalebrush"
LOADNUM 1, 1
LOADNUM 2, 160
LOADCONST 3, #KEEPASPRAT
CALL 0, 4, 1
.line 7
GETGLOBAL 0, "displaybrush"
LOADNUM 1, 1
LOADCONST 2, #CENTER
LOADNUM 3, 110
CALL 0, 4, 1
.line 8
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
