"""The end-to-end pipeline of examples/pipeline.py at a tiny size."""
import pathlib
import sys

import numpy as np
import pytest

import radiredide as rr

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import pipeline  # noqa: E402

TINY = dict(rows=3, x_low=0.07, dt=8.0, n_per_orbit=16, E=16, E_mr=32)


@pytest.fixture(scope="module")
def tiny():
    cfg = pipeline.Config(**TINY)
    model = pipeline.build_model(cfg, pipeline.parameter_points(cfg))
    return cfg, model, pipeline.run_pipeline(cfg, model, log=False)


def test_tiny_pipeline_passes_its_self_checks(tiny):
    cfg, model, res = tiny
    B, N = cfg.rows, res.t_grid.size
    assert res.hp.shape == res.hc.shape == (B, N) and res.hp.dtype == np.float64
    assert pipeline.self_check(cfg, model, res, row=1) < 1e-3
    # Every row starts at f_min below the model and is silent before its own start.
    assert (res.tau0 < res.t_seam).all()
    for b in range(B):
        before = res.t_grid < res.tau0[b] - 1e-9
        assert not res.hp[b, before].any() and not res.hc[b, before].any()
        assert np.abs(res.hp[b, ~before]).max() > 0


def test_polarisations_follow_the_mode_sum(tiny):
    """Before the blend window h+ - i hx is the harmonic-weighted sum of the scattered modes."""
    cfg, model, res = tiny
    K = len(pipeline.MODES)
    ells = np.concatenate([model.l, model.l]).astype(np.int32)
    emms = np.concatenate([model.m, -model.m]).astype(np.int32)
    Y = rr.swsh_weights64(ells, emms, np.full(cfg.rows, cfg.inclination), np.full(cfg.rows, cfg.azimuth))
    t_geo = np.ascontiguousarray(np.broadcast_to(res.t_grid, (cfg.rows, res.t_grid.size)))
    _, t_eval, _, n0, n1, _ = rr.span_pack64(t_geo, res.tau0, cfg.mr_lo, cfg.mr_hi, cfg.b0, 0.0)
    p = res.pack
    h = rr.scatterc64(rr.evaluate_hybrid_batch(p["t_knots"], p["offsets"], p["phi_c"], p["coffsets"],
                                               p["phi_knots"], p["mode_c"], model.m,
                                               pipeline.PHASE_SIGN, t_eval), n0, n1, res.t_grid.size)
    sign = (-1.0) ** model.l
    S = (np.einsum("bk,bkn->bn", Y[:, :K], h) + np.einsum("bk,bkn->bn", Y[:, K:] * sign, h.conj()))
    early = (res.t_grid < cfg.b0)[None, :] & (res.t_grid[None, :] >= res.tau0[:, None] - 1e-9)
    scale = np.abs(S[early]).max()
    assert np.abs(res.hp[early] - S.real[early]).max() < 1e-12 * scale
    assert np.abs(res.hc[early] + S.imag[early]).max() < 1e-12 * scale


def test_main_writes_the_plot_and_exits_zero(tmp_path, capsys):
    out = tmp_path / "w.png"
    assert pipeline.main(["--rows", "2", "--out", str(out)], pipeline.Config(**TINY)) == 0
    text = capsys.readouterr().out
    for stage in ("fmin_starts64", "build_extension_pack_batch", "span_pack64", "evaluate_hybrid_batch",
                  "scatterc64", "swsh_weights64", "assemble_imr64", "waveforms/s", "numpy ms"):
        assert stage in text
    assert "all self-checks passed" in text
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_main_fails_loudly_on_a_broken_stage(monkeypatch, capsys):

    original = rr.assemble_imr64

    def broken(*args):
        hp, hc = original(*args)
        hp[0, -1] = np.nan
        return hp, hc

    monkeypatch.setattr(pipeline.rr, "assemble_imr64", broken)
    assert pipeline.main(["--rows", "2", "--no-reference", "--no-plot"], pipeline.Config(**TINY)) == 1
    assert "SELF-CHECK FAILED: assembled strain is not finite" in capsys.readouterr().err


def test_seam_check_catches_a_jump(tiny):
    cfg, model, res = tiny
    seam = dict(res.seam, extension=res.seam["extension"] * 1.01)
    with pytest.raises(pipeline.SelfCheckError, match="does not join the model at the seam"):
        pipeline.self_check(cfg, model, pipeline.dataclasses.replace(res, seam=seam), row=0)
