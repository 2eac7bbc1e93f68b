; A sprite moving along a path. A 32x32 brush with a white frame and a red
; centre becomes sprite 1; MoveSprite carries it along three sides of a
; square on the 320x240 display, and it stays at the last corner until the
; run ends half a second later.
;
; In script terms:
;   CreateBrush(1, 32, 32, $FFFFFF)
;   SelectBrush(1)
;   SetFillStyle(#FILLCOLOR)
;   Box(4, 4, 24, 24, $E02020)
;   EndSelect()
;   CreateSprite(1, #BRUSH, 1)
;   MoveSprite(1, 40, 40, 248, 40, 4)
;   MoveSprite(1, 248, 40, 248, 168, 4)
;   MoveSprite(1, 248, 168, 40, 168, 4)
;   Wait(25)
.applet title "Quillmere sprite"
.applet versionstring "$VER: Sprite 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:240
.applet section 5 be32:0x183060
.line 1
GETGLOBAL 0, "createbrush"
LOADNUM 1, 1
LOADNUM 2, 32
LOADNUM 3, 32
LOADCONST 4, #16777215  ; $FFFFFF
CALL 0, 5, 1
.line 2
GETGLOBAL 0, "selectbrush"
LOADNUM 1, 1
CALL 0, 2, 1
GETGLOBAL 0, "setfillstyle"
LOADNUM 1, #FILLCOLOR
CALL 0, 2, 1
GETGLOBAL 0, "box"
LOADNUM 1, 4
LOADNUM 2, 4
LOADNUM 3, 24
LOADNUM 4, 24
LOADCONST 5, #14688288  ; $E02020
CALL 0, 6, 1
GETGLOBAL 0, "endselect"
CALL 0, 1, 1
.line 3
GETGLOBAL 0, "createsprite"
LOADNUM 1, 1
LOADNUM 2, #BRUSH
LOADNUM 3, 1
CALL 0, 4, 1
.line 4
GETGLOBAL 0, "movesprite"
LOADNUM 1, 1
LOADNUM 2, 40
LOADNUM 3, 40
LOADNUM 4, 248
LOADNUM 5, 40
LOADNUM 6, 4
CALL 0, 7, 1
GETGLOBAL 0, "movesprite"
LOADNUM 1, 1
LOADNUM 2, 248
LOADNUM 3, 40
LOADNUM 4, 248
LOADNUM 5, 168
LOADNUM 6, 4
CALL 0, 7, 1
GETGLOBAL 0, "movesprite"
LOADNUM 1, 1
LOADNUM 2, 248
LOADNUM 3, 168
LOADNUM 4, 40
LOADNUM 5, 168
LOADNUM 6, 4
CALL 0, 7, 1
.line 5
GETGLOBAL 0, "wait"
LOADNUM 1, 25
CALL 0, 2, 1
RETURN 0, 1, 0
