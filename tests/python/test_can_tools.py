"""python-can's command-line logger and player with -i korvel, and can-utils
reading what they wrote, as a user runs them."""

import signal
import subprocess
import sys

from conftest import WAIT_LIMIT, read_candump_log, wait_for


def test_can_logger_goes_on_after_overruns_and_asc2log_reads_its_log(gateway, tmp_path):
    out, printed = tmp_path / "out.asc", tmp_path / "printed.txt"
    channel = gateway("-g", "-r", "max", "-x").channel
    with open(printed, "w") as output:
        logger = subprocess.Popen(
            [sys.executable, "-m", "can.logger", "-i", "korvel", "-c", channel, "-f", str(out),
             "--rx-buffer-size=0", "--channel-name=korvel3"], stdout=output, stderr=output)
    try:
        # A buffer of one message overflows at once. The file fills in
        # blocks: two more blocks after the warning show that it still runs.
        wait_for(lambda: "receive buffer overrun" in printed.read_text(), "the warning")
        size = out.stat().st_size if out.exists() else 0
        wait_for(lambda: out.stat().st_size > size + 8192, "more lines after the overrun")
        logger.send_signal(signal.SIGINT)
        assert logger.wait(timeout=WAIT_LIMIT) == 0, printed.read_text()
    finally:
        logger.kill()
    converted = tmp_path / "converted.log"
    subprocess.run(["asc2log", "-I", str(out), "-O", str(converted)], check=True,
                   timeout=WAIT_LIMIT)
    lines = converted.read_text().splitlines()
    # ASC numbers channels from 1: korvel3 is channel 4, which asc2log names can3.
    assert lines and all(line.split()[1] == "can3" for line in lines)
    ids = [int(frame_id, 16) for frame_id, _ in read_candump_log(converted)]
    assert ids == sorted(ids) and ids[-1] > len(ids)


def test_can_player_delivers_every_frame_before_it_exits_and_they_are_recorded(gateway, tmp_path):
    # Standard, extended and remote frames in turn.
    frames = [("%03X#%04X" % (i % 0x800, i), "%08X#%02X" % (i << 13, i % 256),
               "%03X#R%d" % (i % 0x800, i % 8 + 1))[i % 3] for i in range(5000)]
    source = tmp_path / "drive.log"
    source.write_text("".join("(%.6f) can0 %s\n" % (1.7e9 + i / 1000, frame)
                              for i, frame in enumerate(frames)))
    record = tmp_path / "record.log"
    recorder = gateway("--record", str(record), "--interface", "bench7")
    player = subprocess.run([sys.executable, "-m", "can.player", "-i", "korvel", "-c",
                             recorder.channel, "--ignore-timestamps", str(source)],
                            capture_output=True, text=True, timeout=WAIT_LIMIT * 5)
    assert player.returncode == 0, player.stdout + player.stderr
    assert "could not be sent" not in player.stderr
    wait_for(lambda: record.exists() and len(read_candump_log(record)) == 5000,
             "every played frame recorded")
    assert read_candump_log(record) == read_candump_log(source)
    assert record.read_text().split()[1] == "bench7"
