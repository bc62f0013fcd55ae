-- Names the running machine to the marquee board through tavimoro-host, as the frontend hooks
-- do: its short name (the ROM set's file name, which the media kit names the game's files by)
-- when it starts, and back to what the frontend has selected (or the boot banner) when it stops.
local exports = {
	name = "tavimoro",
	version = "1.0.0",
	description = "Names the running machine to the Tavimoro marquee",
	license = "BSD-3-Clause",
	author = { name = "Tavimoro" }
}

local tavimoro = exports

local windows = package.config:sub(1, 1) == "\\"

-- One word for the POSIX shell: in single quotes, each quote of its own closed, escaped and
-- reopened, so that a description's quotes, '&' or '$' stay text.
local function sh_quote(word)
	return "'" .. word:gsub("'", "'\\''") .. "'"
end

-- One word for cmd.exe: quoted for the program's own parser (a quote escaped, the backslashes
-- before it doubled), then every character cmd.exe acts on, inside quotes or not, escaped with '^'.
local function cmd_quote(word)
	local quoted = '"' .. word:gsub('(\\*)"', function(slashes) return slashes .. slashes .. '\\"' end)
		:gsub("(\\+)$", "%1%1") .. '"'
	return (quoted:gsub('[%^%%!&|<>()"]', "^%0"))
end

local function command_line(args)
	local quote = windows and cmd_quote or sh_quote
	local line = windows and "tavimoro-host.exe" or "tavimoro-host"
	for _, arg in ipairs(args) do
		line = line .. " " .. quote(arg)
	end
	if windows then
		return line .. " <NUL >NUL 2>NUL"
	end
	return line .. " </dev/null >/dev/null 2>&1"
end
-- Its quoting is tested through this.
tavimoro.command_line = command_line

-- The shell's status for a command it could not find.
local NOT_FOUND = windows and 9009 or 127

local missing_said = false

-- tavimoro-host -b takes the event's place in order and returns at once, sending in the
-- background: the emulator never waits for the board, and a start and its stop stay in order.
local function host(args)
	table.insert(args, 1, "-q")
	table.insert(args, 2, "-b")
	local _, _, status = os.execute(command_line(args))
	if status == NOT_FOUND then
		if not missing_said then
			emu.print_error("tavimoro: tavimoro-host is not on the PATH: the marquee is not told the machine")
		end
		missing_said = true
	elseif status ~= 0 then
		emu.print_error("tavimoro: tavimoro-host " .. args[3] .. " ended with status " .. tostring(status))
	end
end

-- The system selection menu runs a machine of this name: it is no game.
local NO_MACHINE = "___empty"

local named = false

local function machine_started()
	local short = emu.romname()
	if named or short == NO_MACHINE then
		return
	end
	named = true
	-- --rom makes the keys of the short name by the rule the media kit names files by.
	host({ "info", "--rom", short, "--title", manager.machine.system.description })
end

local function machine_stopped()
	if named then
		host({ "back" })
	end
	named = false
end

-- Kept: a notifier whose subscription is collected stops being called.
local subscriptions = {}

function tavimoro.startplugin()
	-- The notifiers came after 0.251, which has only register_start and register_stop (newer
	-- versions no longer have those). A reset notifier also runs on a soft reset: `named` keeps
	-- that from naming the machine twice.
	if emu.add_machine_reset_notifier then
		subscriptions = {
			emu.add_machine_reset_notifier(machine_started),
			emu.add_machine_stop_notifier(machine_stopped)
		}
	else
		emu.register_start(machine_started)
		emu.register_stop(machine_stopped)
	end
end

return exports
