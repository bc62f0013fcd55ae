// Marquee plug-in for Attract-Mode: the marquee follows what the owner looks at.
//
// Goes in ~/.attract/plugins/Tavimoro/plugin.nut and is enabled in ~/.attract/attract.cfg by
//     plugin  Tavimoro
//         enabled  yes
// (tavimoro-host setup does both; or enable it in the Plug-ins menu).
// Attract-Mode runs every enabled plug-in with each layout it loads, the screen saver's included
// (ScreenSaverActive is then true), and calls its transition callback with ttype and var:
//   Transition.StartLayout      the layout starts: var FromTo.Frontend, FromTo.ScreenSaver (the
//                               screen saver ended) or FromTo.NoValue (a new display)
//   Transition.ToNewSelection   var the offset of the game being moved to
//   Transition.ToNewList        a new filter or list (var its offset)
//   Transition.ToGame, Transition.FromGame   the selected game starts, and has ended
// fe.game_info(Info.Name, offset) is the game's ROM name (its file's name without extension, the
// rule tavimoro-media names files by), Info.Title its title. The screen saver shows games of its
// own choosing without selecting them: it gets the boot banner.
// fe.plugin_command_bg runs a program in the background and returns at once; Attract-Mode splits
// its arguments with wordexp(3), so each goes in single quotes.
// Documentation: Attract-Mode's Layouts.md ("fe.add_transition_callback()", "fe.game_info()",
// "fe.plugin_command_bg()", "ScreenSaverActive"); the source, src/fe_vm.cpp and src/fe_util.cpp.
//
// tavimoro-host must be on the PATH Attract-Mode runs with (tavimoro-host setup names its folder
// in ::tavimoro_host otherwise). -b takes the event's place in the order of events at once.

local tavimoro_program = ("tavimoro_host" in getroottable()) ? ::tavimoro_host : "tavimoro-host";

function tavimoro_quoted(text)
{
	local quoted = "'";
	foreach (c in text)
		quoted += (c == '\'') ? "'\\''" : c.tochar();
	return quoted + "'";
}

function tavimoro_send(args)
{
	fe.plugin_command_bg(tavimoro_program, "-q -b " + args);
}

// Names the game at `offset` from the selection, and keeps it as what is selected.
function tavimoro_select(offset)
{
	local name = fe.game_info(Info.Name, offset);
	local title = fe.game_info(Info.Title, offset);
	if (title == "")
		title = name;
	if (name != "")
		tavimoro_send("info --select --romname " + tavimoro_quoted(name) + " --title " + tavimoro_quoted(title)
			+ " --title2 " + tavimoro_quoted(title));
}

function tavimoro_transition(ttype, var, ttime)
{
	if (ScreenSaverActive) {
		if (ttype == Transition.StartLayout)
			tavimoro_send("info");
		return false;
	}
	switch (ttype) {
	case Transition.StartLayout:
	case Transition.ToNewList:
	case Transition.ToGame:
		tavimoro_select(0);
		break;
	case Transition.ToNewSelection:
		tavimoro_select(var);
		break;
	case Transition.FromGame:
		tavimoro_send("back");
		break;
	}
	return false;
}

fe.add_transition_callback("tavimoro_transition");
