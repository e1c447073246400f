"""The command line a systemd unit runs, worked out as systemd does it, so a
test can run a packaged unit's ExecStart by hand: the [Service] section's
Environment= and EnvironmentFile= (the file wins), "%i" for the instance,
quoted words, "${NAME}" replaced inside a word, "$NAME" alone split at blanks,
and the "@" prefix that makes the next word the program name."""
import re


def read_unit(path):
    """Key=value pairs of a unit file's [Service] section; repeated keys are
    collected in lists."""
    keys, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]" and "=" in line:
                k, v = line.split("=", 1)
                keys.setdefault(k.strip(), []).append(v.strip())
    return keys


def read_env_file(path):
    """NAME=value lines of an environment file (quotes removed, comments skipped)."""
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;" or "=" not in line:
                continue
            k, v = line.split("=", 1)
            v = v.strip()
            if len(v) >= 2 and v[0] == v[-1] and v[0] in "\"'":
                v = v[1:-1]
            env[k.strip()] = v
    return env


def words(text):
    """The words of a command line: (text, quoted) pairs; double and single quotes."""
    out, cur, quoted, quote, started = [], "", False, None, False
    for ch in text:
        if quote:
            if ch == quote:
                quote = None
            else:
                cur += ch
        elif ch in "\"'":
            quote, quoted, started = ch, True, True
        elif ch.isspace():
            if started:
                out.append((cur, quoted))
            cur, quoted, started = "", False, False
        else:
            cur += ch
            started = True
    if started:
        out.append((cur, quoted))
    return out


def command(unit_path, instance="", root="", env_override=None):
    """(program path, argv, environment) of the unit's ExecStart.  root is put
    before the absolute file names the unit reads (the environment file);
    env_override replaces variables after the files were read."""
    keys = read_unit(unit_path)
    expand = lambda s: s.replace("%i", instance)
    env = {}
    for assignment in keys.get("Environment", []):
        for text, _ in words(expand(assignment)):
            k, v = text.split("=", 1)
            env[k] = v
    for name in keys.get("EnvironmentFile", []):
        name = expand(name)
        optional = name.startswith("-")
        try:
            env.update(read_env_file(root + name.lstrip("-")))
        except OSError:
            if not optional:
                raise
    env.update(env_override or {})
    (exec_start,) = keys["ExecStart"]
    argv = []
    for text, quoted in words(expand(exec_start)):
        alone = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", text)
        if alone and not quoted:
            argv.extend(env.get(alone.group(1), "").split())
        else:
            argv.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}", lambda m: env.get(m.group(1), ""), text))
    path = argv[0]
    if path.startswith("@"):
        path = path[1:]
        argv = argv[1:]
    return path, argv, env
