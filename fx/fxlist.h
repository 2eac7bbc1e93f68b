// The X-list of every transition effect: one row per effect id 0 to 140
// with its first constant name, its renderer and the row's parameter
// (stripe size, blind size; 0 where the renderer needs none). The effect
// table, the constants and the renderer look-up are expanded from it in
// fx/fxtable.cpp; a renderer family takes over its ids by naming its
// renderer on their rows.
//
// Ids 113 and 140 have no renderer: 113 runs as 140 (RANDOMEFFECT), which
// the runner replaces by a random pick before a renderer is chosen.
#pragma once

// clang-format off
// X(id, name, renderer, parameter)
#define QM_FX_EFFECTS(X) \
  X(0, "HSTRIPES", RenderStripesFX, 0) \
  X(1, "HSTRIPES2", RenderStripesFX, 2) \
  X(2, "HSTRIPES4", RenderStripesFX, 4) \
  X(3, "HSTRIPES8", RenderStripesFX, 8) \
  X(4, "HSTRIPES16", RenderStripesFX, 16) \
  X(5, "HSTRIPES32", RenderStripesFX, 32) \
  X(6, "HSTRIPES64", RenderStripesFX, 64) \
  X(7, "VSTRIPES", RenderStripesFX, 0) \
  X(8, "VSTRIPES2", RenderStripesFX, 2) \
  X(9, "VSTRIPES4", RenderStripesFX, 4) \
  X(10, "VSTRIPES8", RenderStripesFX, 8) \
  X(11, "VSTRIPES16", RenderStripesFX, 16) \
  X(12, "VSTRIPES32", RenderStripesFX, 32) \
  X(13, "VSTRIPES64", RenderStripesFX, 64) \
  X(14, "HBLINDS8", RenderBlindsFX, 8) \
  X(15, "HBLINDS16", RenderBlindsFX, 16) \
  X(16, "HBLINDS32", RenderBlindsFX, 32) \
  X(17, "HBLINDS64", RenderBlindsFX, 64) \
  X(18, "HBLINDS128", RenderBlindsFX, 128) \
  X(19, "VBLINDS8", RenderBlindsFX, 8) \
  X(20, "VBLINDS16", RenderBlindsFX, 16) \
  X(21, "VBLINDS32", RenderBlindsFX, 32) \
  X(22, "VBLINDS64", RenderBlindsFX, 64) \
  X(23, "VBLINDS128", RenderBlindsFX, 128) \
  X(24, "VOPENCURTAIN", RenderCurtainFX, 0) \
  X(25, "VCLOSECURTAIN", RenderCurtainFX, 0) \
  X(26, "HOPENCURTAIN", RenderCurtainFX, 0) \
  X(27, "HCLOSECURTAIN", RenderCurtainFX, 0) \
  X(28, "BARS", RenderBarsFX, 0) \
  X(29, "QUARTERS", RenderQuartersFX, 0) \
  X(30, "REVEALLEFT", RenderRevealFX, 0) \
  X(31, "REVEALRIGHT", RenderRevealFX, 0) \
  X(32, "REVEALTOP", RenderRevealFX, 0) \
  X(33, "REVEALBOTTOM", RenderRevealFX, 0) \
  X(34, "VLINES2", RenderLinesFX, 0) \
  X(35, "HLINES2", RenderLinesFX, 0) \
  X(36, "HLINES", RenderLinesFX, 0) \
  X(37, "VLINES", RenderLinesFX, 0) \
  X(38, "RECTCENTER", RenderRectFX, 0) \
  X(39, "RECTNORTH", RenderRectFX, 0) \
  X(40, "RECTNORTHEAST", RenderRectFX, 0) \
  X(41, "RECTEAST", RenderRectFX, 0) \
  X(42, "RECTSOUTHEAST", RenderRectFX, 0) \
  X(43, "RECTSOUTH", RenderRectFX, 0) \
  X(44, "RECTSOUTHWEST", RenderRectFX, 0) \
  X(45, "RECTWEST", RenderRectFX, 0) \
  X(46, "RECTNORTHWEST", RenderRectFX, 0) \
  X(47, "SCROLLLEFT", RenderScrollFX, 0) \
  X(48, "SCROLLRIGHT", RenderScrollFX, 0) \
  X(49, "SCROLLTOP", RenderScrollFX, 0) \
  X(50, "SCROLLBOTTOM", RenderScrollFX, 0) \
  X(51, "SCROLLNORTHEAST", RenderScrollFX, 0) \
  X(52, "SCROLLSOUTHEAST", RenderScrollFX, 0) \
  X(53, "SCROLLSOUTHWEST", RenderScrollFX, 0) \
  X(54, "SCROLLNORTHWEST", RenderScrollFX, 0) \
  X(55, "STRETCHLEFT", RenderStretchFX, 0) \
  X(56, "STRETCHRIGHT", RenderStretchFX, 0) \
  X(57, "STRETCHTOP", RenderStretchFX, 0) \
  X(58, "STRETCHBOTTOM", RenderStretchFX, 0) \
  X(59, "HSTRETCHCENTER", RenderStretchFX, 0) \
  X(60, "VSTRETCHCENTER", RenderStretchFX, 0) \
  X(61, "ZOOMCENTER", RenderStretchFX, 0) \
  X(62, "ZOOMNORTH", RenderStretchFX, 0) \
  X(63, "ZOOMNORTHEAST", RenderStretchFX, 0) \
  X(64, "ZOOMEAST", RenderStretchFX, 0) \
  X(65, "ZOOMSOUTHEAST", RenderStretchFX, 0) \
  X(66, "ZOOMSOUTH", RenderStretchFX, 0) \
  X(67, "ZOOMSOUTHWEST", RenderStretchFX, 0) \
  X(68, "ZOOMWEST", RenderStretchFX, 0) \
  X(69, "ZOOMNORTHWEST", RenderStretchFX, 0) \
  X(70, "HFLOWTOP", RenderFlowFX, 0) \
  X(71, "HFLOWBOTTOM", RenderFlowFX, 0) \
  X(72, "VFLOWLEFT", RenderFlowFX, 0) \
  X(73, "VFLOWRIGHT", RenderFlowFX, 0) \
  X(74, "HOPENGATE", RenderGateFX, 0) \
  X(75, "HCLOSEGATE", RenderGateFX, 0) \
  X(76, "VOPENGATE", RenderGateFX, 0) \
  X(77, "VCLOSEGATE", RenderGateFX, 0) \
  X(78, "PUSHLEFT", RenderPushFX, 0) \
  X(79, "PUSHRIGHT", RenderPushFX, 0) \
  X(80, "PUSHTOP", RenderPushFX, 0) \
  X(81, "PUSHBOTTOM", RenderPushFX, 0) \
  X(82, "PUZZLE", RenderPuzzleFX, 0) \
  X(83, "DIAGONAL", RenderDiagonalFX, 0) \
  X(84, "ROLLTOP", RenderRollFX, 0) \
  X(85, "ROLLLEFT", RenderRollFX, 0) \
  X(86, "WALLPAPERTOP", RenderRollFX, 0) \
  X(87, "WALLPAPERLEFT", RenderRollFX, 0) \
  X(88, "RECTBACKCENTER", RenderRectFX, 0) \
  X(89, "RECTBACKNORTH", RenderRectFX, 0) \
  X(90, "RECTBACKNORTHEAST", RenderRectFX, 0) \
  X(91, "RECTBACKEAST", RenderRectFX, 0) \
  X(92, "RECTBACKSOUTHEAST", RenderRectFX, 0) \
  X(93, "RECTBACKSOUTH", RenderRectFX, 0) \
  X(94, "RECTBACKSOUTHWEST", RenderRectFX, 0) \
  X(95, "RECTBACKWEST", RenderRectFX, 0) \
  X(96, "RECTBACKNORTHWEST", RenderRectFX, 0) \
  X(97, "CLOCKWIPE", RenderClockWipeFX, 0) \
  X(98, "STAR", RenderStarFX, 0) \
  X(99, "HSTRANGEPUSH", RenderStrangePushFX, 0) \
  X(100, "VSTRANGEPUSH", RenderStrangePushFX, 0) \
  X(101, "SLIDELEFT", RenderSlideFX, 0) \
  X(102, "SLIDERIGHT", RenderSlideFX, 0) \
  X(103, "SLIDETOP", RenderSlideFX, 0) \
  X(104, "SLIDEBOTTOM", RenderSlideFX, 0) \
  X(105, "SPIRAL", RenderSpiralFX, 0) \
  X(106, "SWISS", RenderSwissFX, 0) \
  X(107, "QUADRECT", RenderQuadRectFX, 0) \
  X(108, "HSPLIT", RenderSplitFX, 0) \
  X(109, "VSPLIT", RenderSplitFX, 0) \
  X(110, "UPNDOWN", RenderUpNDownFX, 0) \
  X(111, "CARDTOP", RenderCardFX, 0) \
  X(112, "CARDBOTTOM", RenderCardFX, 0) \
  X(113, nullptr, nullptr, 0) \
  X(114, "SUN", RenderSunFX, 0) \
  X(115, "CROSSFADE", RenderCrossFadeFX, 0) \
  X(116, "FADE", RenderFadeFX, 0) \
  X(117, "BLEND", RenderFadeFX, 0) \
  X(118, "ZOOMIN", RenderZoomFX, 0) \
  X(119, "ZOOMOUT", RenderZoomFX, 0) \
  X(120, "CRUSHLEFT", RenderCrushFX, 0) \
  X(121, "CRUSHRIGHT", RenderCrushFX, 0) \
  X(122, "CRUSHTOP", RenderCrushFX, 0) \
  X(123, "CRUSHBOTTOM", RenderCrushFX, 0) \
  X(124, "VFLIPCOIN", RenderFlipCoinFX, 0) \
  X(125, "VLOWFLIPCOIN", RenderFlipCoinFX, 0) \
  X(126, "HFLIPCOIN", RenderFlipCoinFX, 0) \
  X(127, "HLOWFLIPCOIN", RenderFlipCoinFX, 0) \
  X(128, "TURNDOWNTOP", RenderTurnDownFX, 0) \
  X(129, "TURNDOWNBOTTOM", RenderTurnDownFX, 0) \
  X(130, "TURNDOWNLEFT", RenderTurnDownFX, 0) \
  X(131, "TURNDOWNRIGHT", RenderTurnDownFX, 0) \
  X(132, "PIXELZOOM1", RenderPixelZoomFX, 0) \
  X(133, "PIXELZOOM2", RenderPixelZoomFX, 0) \
  X(134, "WATER1", RenderWaterFX, 0) \
  X(135, "WATER2", RenderWaterFX, 0) \
  X(136, "WATER3", RenderWaterFX, 0) \
  X(137, "WATER4", RenderWaterFX, 0) \
  X(138, "STRUDEL", RenderStrudelFX, 0) \
  X(139, "DISSOLVE", RenderDissolveFX, 0) \
  X(140, "RANDOMEFFECT", nullptr, 0)

// Second names of ids that have two constants.
#define QM_FX_ALIASES(X) \
  X("SCROLLWEST", 47) \
  X("SCROLLEAST", 48) \
  X("SCROLLNORTH", 49) \
  X("SCROLLSOUTH", 50)
// clang-format on
