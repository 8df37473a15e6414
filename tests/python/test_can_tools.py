"""python-can's command-line logger and player with -i korvel, as a user runs them."""

import signal
import subprocess

import can

from conftest import WAIT_LIMIT, read_candump_log, wait_for


def test_can_logger_records_the_generator_and_can_player_plays_it_back(gateway, python, tmp_path):
    out = tmp_path / "out.log"
    generator = gateway("-g", "-r", "2000")
    logger = subprocess.Popen([python, "-m", "can.logger", "-i", "korvel", "-c",
                               generator.channel, "-f", str(out)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        # The file fills in blocks; once one is written the logger is running.
        wait_for(lambda: out.exists() and out.stat().st_size > 0, "the logger's first lines")
        logger.send_signal(signal.SIGINT)
        output = logger.communicate(timeout=WAIT_LIMIT)[0]
    finally:
        logger.kill()
    assert logger.returncode == 0, output
    assert "Connected to KorvelBus: KORVEL gateway " + generator.channel in output
    logged = read_candump_log(out)
    # Identifiers count up from 0 without a gap: nothing was lost or reordered.
    assert len(logged) > 100
    assert [int(frame_id, 16) for frame_id, _ in logged] == list(range(len(logged)))

    record = tmp_path / "record.log"
    recorder = gateway("--record", str(record))
    player = subprocess.run([python, "-m", "can.player", "-i", "korvel", "-c", recorder.channel,
                             str(out)], capture_output=True, text=True, timeout=WAIT_LIMIT * 3)
    assert player.returncode == 0, player.stdout + player.stderr
    wait_for(lambda: record.exists() and len(read_candump_log(record)) == len(logged),
             "every played frame recorded")
    assert read_candump_log(record) == logged
    stamps = [msg.timestamp for msg in can.LogReader(str(record))]
    assert stamps == sorted(stamps)


def test_can_logger_reports_a_gateway_that_is_not_there(python):
    result = subprocess.run([python, "-m", "can.logger", "-i", "korvel", "-c", "127.0.0.1:1",
                             "--connect-timeout=1"], capture_output=True, text=True,
                            timeout=WAIT_LIMIT)
    assert result.returncode != 0
    assert "CanInitializationError" in result.stderr and "127.0.0.1:1" in result.stderr
