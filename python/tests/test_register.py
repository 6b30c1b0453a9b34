import numpy as np

import tamrix
from conftest import star_field


def test_register_recovers_a_rotation_and_refuses_an_empty_frame():
    shape = (400, 400)
    stars = np.random.default_rng(5).uniform(10, 390, (45, 2))
    # Reference -> frame: 30 degrees about the centre, then a shift.
    t = np.radians(30)
    m = np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0]])
    m[:, 2] = [199.5 + 12, 199.5 - 7] - m[:, :2] @ [199.5, 199.5]
    moved = stars @ m[:, :2].T + m[:, 2]
    frames = [star_field(shape, stars, seed=1), star_field(shape, moved, seed=2), star_field(shape, [], seed=3)]

    transforms, reports = tamrix.register(frames, reference=0)

    corners = np.array([[0, 0, 1], [399, 0, 1], [0, 399, 1], [399, 399, 1]])
    assert np.abs(corners @ (transforms[1] - m).T).max() < 0.05
    assert reports[1]["status"] == "registered" and reports[1]["matched"] >= 25
    assert transforms[2] is None and reports[2]["status"] == "too few stars" and reports[2]["reason"]
