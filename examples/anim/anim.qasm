; An anim. A 160x40 brush is painted as a strip of four 40x40 frames (a
; square in a different colour and place on each); CreateAnim cuts it into
; anim 1, which PlayAnim shows three times over in the middle of the
; 320x240 display, five ticks a frame.
;
; In script terms:
;   CreateBrush(1, 160, 40, $000000)
;   SelectBrush(1)
;   SetFillStyle(#FILLCOLOR)
;   Box(0, 0, 20, 20, $FF4040)
;   Box(60, 0, 20, 20, $40FF40)   ; and so on for the four frames
;   EndSelect()
;   CreateAnim(1, 1, 40, 40, 4, 4)
;   PlayAnim(1, 140, 100, 5, 3)
.applet title "Quillmere anim"
.applet versionstring "$VER: Anim 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:240
.applet section 5 be32:0x101010
.line 1
GETGLOBAL 0, "createbrush"
LOADNUM 1, 1
LOADNUM 2, 160
LOADNUM 3, 40
LOADNUM 4, 0
CALL 0, 5, 1
.line 2
GETGLOBAL 0, "selectbrush"
LOADNUM 1, 1
CALL 0, 2, 1
GETGLOBAL 0, "setfillstyle"
LOADNUM 1, #FILLCOLOR
CALL 0, 2, 1
; Frame 1: red, top left; frame 2: green, top right; frame 3: blue,
; bottom right; frame 4: yellow, bottom left.
GETGLOBAL 0, "box"
LOADNUM 1, 0
LOADNUM 2, 0
LOADNUM 3, 20
LOADNUM 4, 20
LOADCONST 5, #16728128  ; $FF4040
CALL 0, 6, 1
GETGLOBAL 0, "box"
LOADNUM 1, 60
LOADNUM 2, 0
LOADNUM 3, 20
LOADNUM 4, 20
LOADCONST 5, #4259648   ; $40FF40
CALL 0, 6, 1
GETGLOBAL 0, "box"
LOADNUM 1, 100
LOADNUM 2, 20
LOADNUM 3, 20
LOADNUM 4, 20
LOADCONST 5, #4210943   ; $4040FF
CALL 0, 6, 1
GETGLOBAL 0, "box"
LOADNUM 1, 120
LOADNUM 2, 20
LOADNUM 3, 20
LOADNUM 4, 20
LOADCONST 5, #16777024  ; $FFFF40
CALL 0, 6, 1
GETGLOBAL 0, "endselect"
CALL 0, 1, 1
.line 3
GETGLOBAL 0, "createanim"
LOADNUM 1, 1
LOADNUM 2, 1
LOADNUM 3, 40
LOADNUM 4, 40
LOADNUM 5, 4
LOADNUM 6, 4
CALL 0, 7, 1
.line 4
GETGLOBAL 0, "playanim"
LOADNUM 1, 1
LOADNUM 2, 140
LOADNUM 3, 100
LOADNUM 4, 5
LOADNUM 5, 3
CALL 0, 6, 1
RETURN 0, 1, 0
